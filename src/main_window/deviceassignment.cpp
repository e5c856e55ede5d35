#include "main_window/deviceassignment.h"

#include "platform/commsettings.h"
#include "platform/messageservice.h"
#include "platform/serialport.h"
#include "platform/settingsstore.h"

#include <QEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QPushButton>
#include <QStyle>

namespace {

// A button text longer than this shortens the device in its middle; the tool tip has it whole.
constexpr int widestText = 240;

bool isPresent(const QString& device)
{
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return true; // COM ports are no files to look at
#else
    return QFileInfo::exists(device);
#endif
}

} // namespace

DeviceAssignment::DeviceAssignment(SerialPort& port, SettingsStore& store, MessageService& messages,
                                   QPushButton& button, QGroupBox& portFrame, QWidget& window)
    : QObject(&window), m_port(port), m_store(store), m_messages(messages), m_button(button),
      m_portFrame(portFrame), m_window(window)
{
    connect(&m_button, &QPushButton::clicked, this, &DeviceAssignment::choose);
    m_portFrame.installEventFilter(this);
    m_window.installEventFilter(this);
}

bool DeviceAssignment::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == &m_portFrame && event->type() == QEvent::EnabledChange) {
        m_button.setEnabled(m_portFrame.isEnabled());
        refresh(); // a transfer ended: a device that went away shows
    } else if (watched == &m_portFrame && event->type() == QEvent::ContextMenu) {
        choose();
        return true;
    } else if (watched == &m_window && event->type() == QEvent::WindowActivate) {
        refresh(); // a device plugged in or out meanwhile
    }
    return false;
}

void DeviceAssignment::refresh()
{
    const QString port = PortMap::portName(m_port.CommPort());
    const QString device = m_port.device();
    const bool present = isPresent(device);
    const QString missing = present ? QString() : tr(" (missing)");
    const QFontMetrics metrics = m_button.fontMetrics();
    const int room = widestText - metrics.horizontalAdvance(port + QStringLiteral(": ") + missing);
    m_button.setText(QStringLiteral("%1: %2%3")
                         .arg(port, metrics.elidedText(device, Qt::ElideMiddle, room), missing));
    m_button.setIcon(present ? QIcon()
                             : m_button.style()->standardIcon(QStyle::SP_MessageBoxWarning));
    m_button.setToolTip(
        present ? tr("%1 stands for %2. Click to choose another device.").arg(port, device)
                : tr("%1 stands for %2, which is not present. Click to choose "
                     "another device.")
                      .arg(port, device));
}

void DeviceAssignment::choose()
{
    // A transfer holds the port; its device stays as it is until the transfer ends.
    if (m_port.PortOpen())
        return;
    std::array<QString, 2> devices;
    for (int port = PortMap::firstPort; port <= PortMap::lastPort; ++port)
        devices[std::size_t(port - PortMap::firstPort)] = m_port.ports().device(port);
    const std::array<QString, 2> before = devices;
    if (!m_chooser->choose(&m_window, &devices) || !apply(before, devices))
        return;
    CommSettings::saveDevices(m_store, m_port.ports());
    QString error;
    if (!m_store.sync(&error)) {
        m_messages.showError(
            &m_window, m_window.windowTitle(),
            tr("%1\nThe devices chosen are used in this run, but were not saved.").arg(error));
    }
    refresh();
}

bool DeviceAssignment::apply(const std::array<QString, 2>& before,
                             const std::array<QString, 2>& chosen)
{
    bool changed = false;
    PortMap& ports = m_port.ports();
    for (int port = PortMap::firstPort; port <= PortMap::lastPort; ++port) {
        const auto i = std::size_t(port - PortMap::firstPort);
        const QString device = chosen[i].trimmed();
        // Unchanged, a device given for this run stays one for this run only.
        if (device == before[i])
            continue;
        changed = true;
        ports.mapForRun({{port, QString()}});
        // The platform's own device needs no entry.
        ports.setStored(port, device == PortMap::platformDevice(port) ? QString() : device);
    }
    return changed;
}
