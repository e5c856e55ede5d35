#pragma once

#include "platform/linesettings.h"
#include "platform/portmap.h"
#include "platform/serialdevice.h"
#include "platform/serialinput.h"
#include "platform/serialoutput.h"

#include <QObject>
#include <QString>

// The program's serial line: a small communications control over one serial device. Port numbers
// 1 and 2 name COM1 and COM2, and `ports()` says which device each stands for.
//
// The port itself is the line: the device it stands for, opening and holding it, its settings,
// and its loss. What goes out and what comes in are parts of their own, `output()` and `input()`,
// each one job; a transfer talks to the part it needs. Everything runs on the thread that owns
// the object and reports through signals.
class SerialPort : public QObject
{
    Q_OBJECT

public:
    explicit SerialPort(QObject* parent = nullptr);
    ~SerialPort() override;

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Port number, 1 or 2. Refused while the port is open.
    int CommPort() const { return m_commPort; }
    bool setCommPort(int port, QString* error = nullptr);
    PortMap& ports() { return m_ports; }
    const PortMap& ports() const { return m_ports; }
    // The device the port number stands for, and "COM1 (/dev/ttyS0)" for messages.
    QString device() const { return m_ports.device(m_commPort); }
    QString describe() const { return m_ports.describe(m_commPort); }

    // "speed,parity,data bits,stop bits", e.g. "9600,N,8,1", read back as written. A string that
    // names no settings, or settings the open port cannot use, is refused and the previous value
    // stays.
    QString Settings() const { return m_settings; }
    bool setSettings(const QString& settings, QString* error = nullptr);
    const LineSettings& line() const { return m_line; }
    // The flow control, kept apart from the settings string; refused, leaving the previous one,
    // when the open port cannot use it.
    LineSettings::Flow flowControl() const { return m_line.flow; }
    bool setFlowControl(LineSettings::Flow flow, QString* error = nullptr);

    bool PortOpen() const { return m_device.isOpen(); }
    // Opening fails when the device is missing, not permitted, held by another program, cannot
    // use the settings, or when the port is already open. Closing offers what arrived to the
    // input's consumer and drops what was not yet handed to the system for output.
    bool setPortOpen(bool open, QString* error = nullptr);
    // Opens the port on `path` instead of the device the port number stands for: the stable name
    // the device had, when it comes back under another number. Messages still name the port.
    bool openAt(const QString& path, QString* error = nullptr);

    // Low latency for a protocol transfer: the driver hands received bytes over at once instead
    // of gathering them (an FTDI adapter waits 16 ms by default). Asked for on the open port,
    // it lasts until asked off or until the port closes, which put back the driver's own
    // setting. False, with the reason, where the driver has no such setting or refuses it; the
    // transfer still works then, only with longer round trips.
    bool setLowLatency(bool on, QString* why = nullptr) { return m_device.setLowLatency(on, why); }

    SerialOutput& output() { return m_output; }
    const SerialOutput& output() const { return m_output; }
    SerialInput& input() { return m_input; }
    const SerialInput& input() const { return m_input; }

signals:
    // The device went away or failed (unplugged, far end closed). What had arrived was offered
    // to the input's consumer, and the port is already closed when this arrives; it is raised
    // once per loss.
    void deviceLost(const QString& reason);

private:
    // Makes `line` the port's line, on the device too when it is open.
    bool applyLine(const LineSettings& line, QString* why);
    void lose(const QString& why);
    void closePort();

    SerialDevice m_device;
    SerialOutput m_output{m_device};
    SerialInput m_input{m_device};
    PortMap m_ports;
    int m_commPort = 2;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line;
};
