#include "platform/portmap.h"

QString PortMap::portName(int port)
{
    return QStringLiteral("COM%1").arg(port);
}

QString PortMap::platformDevice(int port)
{
#ifdef Q_OS_WIN
    return portName(port);
#elif defined(Q_OS_MACOS)
    return QStringLiteral("/dev/cu.serial%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

QString PortMap::device(int port) const
{
    if (!isPort(port))
        return QString();
    if (!m_forRun[slot(port)].isEmpty())
        return m_forRun[slot(port)];
    if (!m_stored[slot(port)].isEmpty())
        return m_stored[slot(port)];
    return platformDevice(port);
}

QString PortMap::describe(int port) const
{
    return QStringLiteral("%1 (%2)").arg(portName(port), device(port));
}

QString PortMap::stored(int port) const
{
    return isPort(port) ? m_stored[slot(port)] : QString();
}

void PortMap::setStored(int port, const QString& device)
{
    if (isPort(port))
        m_stored[slot(port)] = device.trimmed();
}

void PortMap::mapForRun(const QMap<int, QString>& devices)
{
    for (auto it = devices.cbegin(); it != devices.cend(); ++it) {
        if (isPort(it.key()))
            m_forRun[slot(it.key())] = it.value();
    }
}
