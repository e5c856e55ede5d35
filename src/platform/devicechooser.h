#pragma once

#include <QString>

#include <array>

class QWidget;

// Where the user says which device each port number stands for, reached through this interface
// so that tests can answer it.
class DeviceChooser
{
public:
    // COM1's device, then COM2's; an empty one stands for the platform's own.
    using Devices = std::array<QString, 2>;

    virtual ~DeviceChooser() = default;

    // Shows the serial devices present and lets the user pick the device of each port number,
    // starting from `devices`. False when the user dismissed it; `devices` is unchanged then.
    virtual bool choose(QWidget* parent, Devices* devices) = 0;
};
