#pragma once

#include <QMap>
#include <QString>

#include <array>

// Which device each port number stands for. COM1 and COM2 are the platform's first and second
// serial port, unless the stored settings name another device for them (a USB adapter, say), or
// the command line does for one run; what the command line maps is never stored.
class PortMap
{
public:
    static constexpr int firstPort = 1;
    static constexpr int lastPort = 2;
    static bool isPort(int port) { return port >= firstPort && port <= lastPort; }
    // "COM1" or "COM2".
    static QString portName(int port);
    // The platform's own device for the number: /dev/ttyS0 for COM1 on Linux.
    static QString platformDevice(int port);

    QString device(int port) const;
    // "COM1 (/dev/ttyS0)": how messages name a port.
    QString describe(int port) const;

    // The device the settings name for the port; empty when they name none.
    QString stored(int port) const;
    void setStored(int port, const QString& device);
    // Devices for this run only, by port number, over whatever is stored.
    void mapForRun(const QMap<int, QString>& devices);

private:
    static std::size_t slot(int port) { return static_cast<std::size_t>(port - firstPort); }

    std::array<QString, lastPort> m_stored;
    std::array<QString, lastPort> m_forRun;
};
