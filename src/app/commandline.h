#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The program's command line: --com1 DEVICE and --com2 DEVICE map a port number to any
// device for this run (a USB adapter, a pseudo-terminal).
struct CommandLine
{
    QMap<int, QString> devices;
    QString error; // empty when the line was understood
    bool helpRequested = false;
    QString helpText;

    static CommandLine parse(const QStringList& arguments);
};
