#include "platform/lowlatency.h"

#include "platform/systemerror.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// The driver's timer file of a device such as /dev/ttyUSB0, whatever name it was opened under.
QString timerPath(const QString& devicePath)
{
    const QString name = QFileInfo(QFileInfo(devicePath).canonicalFilePath()).fileName();
    return name.isEmpty() ? QString()
                          : QStringLiteral("/sys/class/tty/%1/device/latency_timer").arg(name);
}

// The whole content, or nothing when the file cannot be read.
std::optional<QByteArray> readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll().trimmed();
}

bool writeAll(const QString& path, const QByteArray& value, QString* why)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        file.write(value) != value.size()) {
        *why = file.errorString();
        return false;
    }
    return true;
}

} // namespace

bool LowLatency::request(int fd, const QString& devicePath, QString* why)
{
    restore();
    QStringList reasons;
    bool low = false;
#ifdef Q_OS_LINUX
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        reasons << tr("the driver has no serial flags (%1)").arg(systemError());
    } else if (serial.flags & ASYNC_LOW_LATENCY) {
        low = true;
    } else {
        const int oldFlags = serial.flags;
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &serial) == 0) {
            m_oldFlags = oldFlags;
            low = true;
        } else {
            reasons << tr("the driver refused the low-latency flag (%1)").arg(systemError());
        }
    }
#else
    reasons << tr("this system has no low-latency flag");
#endif
    const QString timer = timerPath(devicePath);
    const std::optional<QByteArray> oldTimer = timer.isEmpty() ? std::nullopt : readAll(timer);
    if (!oldTimer) {
        reasons << tr("the driver has no latency timer");
    } else if (*oldTimer == "1") {
        low = true;
    } else {
        QString failure;
        if (writeAll(timer, "1", &failure)) {
            m_timerPath = timer;
            m_oldTimer = *oldTimer;
            low = true;
        } else {
            reasons << tr("its latency timer (%1 ms) cannot be set: %2")
                           .arg(QString::fromLatin1(*oldTimer), failure);
        }
    }
    if (m_oldFlags || !m_timerPath.isEmpty())
        m_fd = fd;
    if (!low && why)
        *why = reasons.join(QStringLiteral("; ")) + QLatin1Char('.');
    return low;
}

void LowLatency::restore()
{
    if (m_fd < 0)
        return;
#ifdef Q_OS_LINUX
    serial_struct serial{};
    if (m_oldFlags && ::ioctl(m_fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags = (serial.flags & ~ASYNC_LOW_LATENCY) | (*m_oldFlags & ASYNC_LOW_LATENCY);
        ::ioctl(m_fd, TIOCSSERIAL, &serial);
    }
#endif
    if (!m_timerPath.isEmpty()) {
        QString ignored;
        writeAll(m_timerPath, m_oldTimer, &ignored);
    }
    m_fd = -1;
    m_oldFlags.reset();
    m_timerPath.clear();
    m_oldTimer.clear();
}
