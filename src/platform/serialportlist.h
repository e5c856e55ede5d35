#pragma once

#include <QList>
#include <QString>

// The serial devices present on this computer, as the system lists them: USB adapters, boards'
// own USB ports, built-in UARTs. Pseudo-terminals are not listed; they can still be named by path.
namespace SerialPortList {

struct Entry
{
    QString path;         // /dev/ttyUSB0
    QString stablePath;   // /dev/serial/by-id/usb-FTDI_..., empty when there is none
    QString description;  // "FT232R USB UART", as the device names itself
    QString manufacturer; // "FTDI"
    QString serialNumber; // "A50285BI"
};

// Sorted by path.
QList<Entry> available();

// The name under /dev/serial/by-id that leads to `path`, which stays the same whichever USB
// socket the device is plugged into and whatever number it gets; empty when there is none.
QString stablePathOf(const QString& path);

} // namespace SerialPortList
