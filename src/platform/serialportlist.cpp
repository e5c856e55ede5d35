#include "platform/serialportlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

QString SerialPortList::stablePathOf(const QString& path)
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

namespace {

QString readLine(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readLine()).trimmed()
                                          : QString();
}

// What the kernel itself tells of a USB device where the system's device database (udev) has
// nothing, as in a minimal system: the device's own strings and the driver's name.
void fillFromKernel(SerialPortList::Entry* entry)
{
#ifdef Q_OS_LINUX
    const QString name = QFileInfo(entry->path).fileName();
    const QString device =
        QFileInfo(QStringLiteral("/sys/class/tty/%1/device").arg(name)).canonicalFilePath();
    if (device.isEmpty())
        return;
    const QString driver =
        QFileInfo(QFileInfo(device + QStringLiteral("/driver")).canonicalFilePath()).fileName();
    for (QString dir = device; dir.startsWith(QLatin1String("/sys/devices/"));
         dir = QFileInfo(dir).path()) {
        if (!QFileInfo::exists(dir + QStringLiteral("/idVendor")))
            continue;
        const QString product = readLine(dir + QStringLiteral("/product"));
        entry->description =
            driver.isEmpty() ? product : QStringLiteral("%1 (%2)").arg(product, driver).trimmed();
        entry->manufacturer = readLine(dir + QStringLiteral("/manufacturer"));
        entry->serialNumber = readLine(dir + QStringLiteral("/serial"));
        return;
    }
#else
    Q_UNUSED(entry);
#endif
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
        if (entry.description.isEmpty())
            fillFromKernel(&entry);
        entries << entry;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    return entries;
}

} // namespace SerialPortList
