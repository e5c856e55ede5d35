#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <utility>

// The program's serial line: a small communications control over QSerialPort. Port numbers
// 1 and 2 name COM1 and COM2; `setDevice` maps a number to any device for this run.
//
// The line is raw: 8-bit bytes pass unchanged in both directions, with no flow control.
// Everything runs on the thread that owns the object and reports through signals.
class SerialPort : public QObject
{
    Q_OBJECT

public:
    // CommEvent codes.
    static constexpr int comEvReceive = 2;

    explicit SerialPort(QObject* parent = nullptr);
    ~SerialPort() override;

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Port number, 1 or 2. Refused while the port is open.
    int CommPort() const { return m_commPort; }
    bool setCommPort(int port, QString* error = nullptr);

    // The device that a port number names: the platform's first or second serial port
    // unless `setDevice` mapped it elsewhere.
    QString device(int port) const;
    QString device() const { return device(m_commPort); }
    void setDevice(int port, const QString& devicePath);
    // "COM1" or "COM2".
    static QString portName(int port);
    // "COM1 (/dev/ttyS0)": how messages name the port.
    QString describe() const;

    // "speed,parity,data bits,stop bits", e.g. "9600,N,8,1". An unparsable string, or one
    // the open port cannot apply, is refused and the previous value stays.
    QString Settings() const { return m_settings; }
    bool setSettings(const QString& settings, QString* error = nullptr);
    // The speed of the current settings, in bits per second.
    qint32 speed() const { return m_speed; }

    bool PortOpen() const;
    // Opening fails when the device is missing, not permitted, held by another program, or
    // when the port is already open. Closing drops what Qt still holds for output.
    bool setPortOpen(bool open, QString* error = nullptr);

    // The chunk a sender hands over at a time, derived from the speed.
    int OutBufferSize() const;
    // Queues bytes for the line and returns at once. Fails while the port is closed.
    bool Output(const QByteArray& bytes);
    // Bytes not yet passed on to the line: Qt's buffer plus the kernel's output queue where
    // the device reports it. -1 while the port is closed.
    qint64 OutBufferCount() const;
    // How long the transmitter may still be busy after OutBufferCount reached 0 (the UART's
    // hardware FIFO, which no count reports).
    int transmitterSettleMs() const;

    // Bytes received and not yet read; -1 while the port is closed.
    qint64 InBufferCount() const;
    // InBufferCount plus what the system holds for the port and has not handed over yet.
    qint64 receivedNotTaken() const;
    // True while a slow line is left to fill the receive threshold on its own.
    bool readingPaused() const { return m_readPaused; }
    // At most how many bytes the next Input takes; 0 takes everything waiting.
    int InputLen() const { return m_inputLen; }
    void setInputLen(int length) { m_inputLen = length < 0 ? 0 : length; }
    // Waiting bytes that raise OnComm; 0 raises none.
    int RThreshold() const { return m_rThreshold; }
    void setRThreshold(int threshold);
    // Removes up to InputLen bytes, oldest first. Empty while the port is closed.
    QByteArray Input();
    // Throws away everything received and not read yet.
    void discardInput();
    // Throws away all output not yet on the line, so the line falls silent at once.
    void discardOutput();
    // Takes into InBufferCount what the system already holds for the port but has not yet
    // handed over, without raising OnComm. Used to collect the last bytes before a close.
    void fetchPending();
    // What had been received and not read when the device went away; the loss closes the
    // port, and these bytes are kept for whoever wants them. Empty after the call.
    QByteArray takeUnreadAfterLoss() { return std::exchange(m_unreadAfterLoss, {}); }

    // The code of the event that raised the current OnComm.
    int CommEvent() const { return m_commEvent; }

    // Parses "speed,parity,data,stop". Exposed for the tests and for validation elsewhere.
    struct LineSettings
    {
        qint32 speed = 9600;
        QSerialPort::Parity parity = QSerialPort::NoParity;
        QSerialPort::DataBits dataBits = QSerialPort::Data8;
        QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    };
    static bool parseSettings(const QString& text, LineSettings* out, QString* error);

signals:
    // Raised on the event loop while at least RThreshold bytes wait (CommEvent 2).
    void OnComm();
    // Every byte given to Output has been passed on to the line.
    void outputDrained();
    // The device went away or failed (unplugged, far end closed). The port is already
    // closed when this arrives; it is raised once per loss.
    void deviceLost(const QString& reason);

private:
    void onBytesWritten();
    void checkDrained();
    void onReadyRead();
    // On a line slower than a threshold's worth per look, stops looking until the line can
    // have delivered the rest.
    void pauseReadingIfSlow(qint64 arrived, qint64 sinceNs);
    void resumeReading();
    void raiseReceiveEvents();
    void scheduleRaise();
    void onError(QSerialPort::SerialPortError error);
    qint64 kernelOutputQueue() const;
    bool applyLineSettings(const LineSettings& settings, QString* error);
    void closePort();
    int charTimeMicros() const;

    QSerialPort m_port;
    QMap<int, QString> m_devices;
    int m_commPort = 2;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line;
    qint32 m_speed = 9600;
    int m_inputLen = 0;
    int m_rThreshold = 1;
    int m_commEvent = 0;
    bool m_awaitingDrain = false;
    bool m_raising = false;
    bool m_raisePending = false;
    bool m_raiseQueued = false;
    bool m_lost = false;
    bool m_fetching = false;
    QByteArray m_unreadAfterLoss;
    QTimer m_drainTimer;
    QTimer m_resumeReadTimer;
    bool m_readPaused = false;
    QElapsedTimer m_sinceArrival;
    qint64 m_availableAfterLook = 0;
};
