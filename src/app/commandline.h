#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// The program's command line. Without a command the window opens; `send FILE` and
// `receive FILE` run one transfer without it. --com1 DEVICE and --com2 DEVICE map a port
// number to any device for this run (a USB adapter, a pseudo-terminal), before or after the
// command.
struct CommandLine
{
    enum class Command
    {
        Window,
        Send,
        Receive,
    };

    // How the program ends, for scripts.
    static constexpr int exitSuccess = 0;
    static constexpr int exitFailure = 1; // the transfer failed or was refused
    static constexpr int exitUsage = 2;   // the command line was not understood

    Command command = Command::Window;
    QMap<int, QString> devices;
    QString file;
    std::optional<int> port;        // 1 or 2; the stored choice when absent
    std::optional<qint32> baud;     // bits per second; the stored settings when absent
    std::optional<qint64> idleMs;   // receive: end after this long without a byte
    std::optional<qint64> maxBytes; // receive: end once this many bytes are stored
    bool force = false;             // receive: overwrite a file that holds data

    QString error; // empty when the line was understood
    bool helpRequested = false;
    QString helpText; // the help of the command given, or the general help

    static CommandLine parse(const QStringList& arguments);

    // Whether the arguments ask for the window, decided without any application object so the
    // program knows whether it needs a display. Help and anything naming a command run without.
    static bool opensWindow(const QStringList& arguments);

    // The speeds --baud accepts.
    static const QList<qint32>& usualSpeeds();
};
