#include "platform/serialportlist.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

// The name under /dev/serial/by-id that leads to `path`, which stays the same whichever USB
// socket the device is plugged into; empty when there is none.
QString stablePathOf(const QString& path)
{
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        return QString();
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link :
         byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() == device)
            return link.absoluteFilePath();
    }
    return QString();
}

} // namespace

namespace SerialPortList {

QList<Entry> available()
{
    QList<Entry> entries;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        Entry entry;
        entry.path = info.systemLocation();
        entry.stablePath = stablePathOf(entry.path);
        entry.description = info.description();
        entry.manufacturer = info.manufacturer();
        entry.serialNumber = info.serialNumber();
        entries << entry;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    return entries;
}

} // namespace SerialPortList
