#pragma once

#include "platform/devicechooser.h"

// The device chooser as the window shows it: the "Serial devices" dialog.
class QtDeviceChooser final : public DeviceChooser
{
public:
    bool choose(QWidget* parent, Devices* devices) override;
};
