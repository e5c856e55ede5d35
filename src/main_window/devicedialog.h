#pragma once

#include "platform/devicechooser.h"

#include <QDialog>

#include <array>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

// "Serial devices": the serial devices present (path, stable name under /dev/serial/by-id,
// description, manufacturer, serial number), a Refresh, and for COM1 and COM2 a field for the
// device, typed freely (a pseudo-terminal, say) or taken from the list with "Use for COM1"; the
// list offers a device's stable name where it has one, as that outlasts a move to another USB
// socket.
class DeviceDialog : public QDialog
{
    Q_OBJECT

public:
    explicit DeviceDialog(const DeviceChooser::Devices& devices, QWidget* parent = nullptr);

    // The devices in the fields, trimmed.
    DeviceChooser::Devices devices() const;
    // Lists the devices present anew.
    void refresh();

private:
    QWidget* createPortFields();
    void useSelected(std::size_t index);

    QTreeWidget* m_list = nullptr;
    QLabel* m_empty = nullptr;
    std::array<QLineEdit*, 2> m_fields{};
    std::array<QPushButton*, 2> m_useButtons{};
};
