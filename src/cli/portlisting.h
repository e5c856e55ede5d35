#pragma once

#include "platform/serialportlist.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class PortMap;
struct CommandLine;

// `marlune ports`: the serial devices present, one a line for people and shell scripts, or as
// JSON for other programs, each with the port numbers that stand for it.
namespace PortListing {

// "COM1", "COM2": the port numbers whose device is `path`, under any of its names.
QStringList portsOf(const QString& path, const PortMap& ports);
// A line per device, its fields separated by tabs, "-" for an unknown one; empty for none.
QString plain(const QList<SerialPortList::Entry>& entries, const PortMap& ports);
// A JSON array of objects, unknown fields null; "[]" for none.
QByteArray json(const QList<SerialPortList::Entry>& entries, const PortMap& ports);

// Prints the devices present, with the port numbers as the stored settings map them, on
// standard output, and returns the exit code.
int run(const CommandLine& commandLine);

} // namespace PortListing
