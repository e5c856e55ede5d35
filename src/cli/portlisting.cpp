#include "cli/portlisting.h"

#include "cli/commandline.h"
#include "platform/commsettings.h"
#include "platform/portmap.h"
#include "platform/settingsstore.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace PortListing {

namespace {

// The device a path leads to, so that a by-id link and the device it names compare equal.
QString resolved(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

QJsonValue orNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

QStringList portsOf(const QString& path, const PortMap& ports)
{
    QStringList names;
    const QString device = resolved(path);
    for (int port = PortMap::firstPort; port <= PortMap::lastPort; ++port) {
        if (resolved(ports.device(port)) == device)
            names << PortMap::portName(port);
    }
    return names;
}

QString plain(const QList<SerialPortList::Entry>& entries, const PortMap& ports)
{
    QString text;
    for (const SerialPortList::Entry& entry : entries) {
        const QString portNames = portsOf(entry.path, ports).join(QLatin1Char(','));
        QStringList fields{entry.path,         entry.stablePath,   entry.description,
                           entry.manufacturer, entry.serialNumber, portNames};
        for (QString& field : fields) {
            // A field of its own on every line, whatever the device calls itself.
            field.replace(QLatin1Char('\t'), QLatin1Char(' ')).replace(QLatin1Char('\n'), ' ');
            if (field.isEmpty())
                field = QStringLiteral("-");
        }
        text += fields.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text;
}

QByteArray json(const QList<SerialPortList::Entry>& entries, const PortMap& ports)
{
    QJsonArray list;
    for (const SerialPortList::Entry& entry : entries) {
        list.append(QJsonObject{
            {QStringLiteral("path"), entry.path},
            {QStringLiteral("stablePath"), orNull(entry.stablePath)},
            {QStringLiteral("description"), orNull(entry.description)},
            {QStringLiteral("manufacturer"), orNull(entry.manufacturer)},
            {QStringLiteral("serialNumber"), orNull(entry.serialNumber)},
            {QStringLiteral("ports"), QJsonArray::fromStringList(portsOf(entry.path, ports))},
        });
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact) + '\n';
}

int run(const CommandLine& commandLine)
{
    PortMap ports;
    CommSettings::loadDevices(SettingsStore(CommSettings::application), &ports);
    const QList<SerialPortList::Entry> entries = SerialPortList::available();
    const QByteArray text =
        commandLine.json ? json(entries, ports) : plain(entries, ports).toUtf8();
    const bool written = std::fwrite(text.constData(), 1, std::size_t(text.size()), stdout) ==
                             std::size_t(text.size()) &&
                         std::fflush(stdout) == 0;
    if (!written)
        std::fputs("marlune: cannot write the list to standard output.\n", stderr);
    return written ? CommandLine::exitSuccess : CommandLine::exitFailure;
}

} // namespace PortListing
