#include "main_window/qtdevicechooser.h"

#include "main_window/devicedialog.h"

bool QtDeviceChooser::choose(QWidget* parent, Devices* devices)
{
    DeviceDialog dialog(*devices, parent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *devices = dialog.devices();
    return true;
}
