#pragma once

#include "main_window/qtdevicechooser.h"

#include <QObject>

class DeviceChooser;
class MessageService;
class QGroupBox;
class QPushButton;
class SerialPort;
class SettingsStore;

// The device each port number stands for, as the window shows and changes it. The status bar's
// button names the selected port's device, and says when it is missing, before a file is picked.
// The button, or a right-click on the "Serial Port" frame, opens the device chooser; a choice is
// stored at once and wins over a device given for this run. While a transfer runs the port is
// left alone: the button follows the frame, which is disabled then.
class DeviceAssignment : public QObject
{
    Q_OBJECT

public:
    DeviceAssignment(SerialPort& port, SettingsStore& store, MessageService& messages,
                     QPushButton& button, QGroupBox& portFrame, QWidget& window);

    // Tests stand in for the dialog.
    void setChooser(DeviceChooser& chooser) { m_chooser = &chooser; }

    // Names the selected port's device on the button, looking again whether it is present.
    void refresh();
    void choose();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Takes the user's devices, as far as they changed; true when one did.
    bool apply(const std::array<QString, 2>& before, const std::array<QString, 2>& chosen);

    SerialPort& m_port;
    SettingsStore& m_store;
    MessageService& m_messages;
    QPushButton& m_button;
    QGroupBox& m_portFrame;
    QWidget& m_window;
    QtDeviceChooser m_platformChooser;
    DeviceChooser* m_chooser = &m_platformChooser;
};
