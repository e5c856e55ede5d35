#pragma once

#include "platform/linesettings.h"
#include "platform/portmap.h"
#include "platform/serialdevice.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <utility>
#include <vector>

// The program's serial line: a small communications control over one serial device. Port numbers
// 1 and 2 name COM1 and COM2, and `ports()` says which device each stands for.
//
// What arrives is read as it arrives, into the port's own buffer, so nothing waits in the system
// (where a hang-up throws unread input away) longer than one turn of the event loop. OnComm
// tells when RThreshold bytes wait there, or, with a receive timeout set, when bytes have waited
// that long. Everything runs on the thread that owns the object and reports through signals.
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

    bool PortOpen() const { return m_device.isOpen(); }
    // Opening fails when the device is missing, not permitted, held by another program, cannot
    // use the settings, or when the port is already open. Closing drops what was not yet handed
    // to the system for output.
    bool setPortOpen(bool open, QString* error = nullptr);

    // The chunk a sender hands over at a time to see progress at least four times a second,
    // from the speed.
    int OutBufferSize() const;
    // Queues bytes for the line and returns at once; `outputDrained` follows once all of them
    // are on the line. Fails while the port is closed.
    bool Output(const QByteArray& bytes);
    // Bytes not yet passed on to the line: ours plus what the system still holds where the
    // device tells (see `outputCountKnown`). -1 while the port is closed.
    qint64 OutBufferCount() const;
    // False where the device cannot tell what the system holds for it (a pseudo-terminal):
    // OutBufferCount then leaves that part out.
    bool outputCountKnown() const { return m_device.outputQueueKnown(); }
    // How long the transmitter may still be busy after OutBufferCount reached 0 (the UART's
    // hardware FIFO, which no count reports).
    int transmitterSettleMs() const;
    // Throws away all output not yet on the line, so the line falls silent at once.
    void discardOutput();

    // Bytes received and not yet taken; -1 while the port is closed.
    qint64 InBufferCount() const;
    // At most how many bytes the next Input takes; 0 takes everything waiting.
    int InputLen() const { return m_inputLen; }
    void setInputLen(int length) { m_inputLen = length < 0 ? 0 : length; }
    // Waiting bytes that raise OnComm; 0 raises none.
    int RThreshold() const { return m_rThreshold; }
    void setRThreshold(int threshold);
    // Bytes that have waited `ms` untaken raise OnComm too, however few; 0 never.
    void setReceiveTimeout(int ms) { m_receiveTimeoutMs = ms < 0 ? 0 : ms; }
    // How long the oldest byte waiting has waited, in milliseconds; 0 when none waits.
    qint64 inputAgeMs() const { return m_input.since.isValid() ? m_input.since.elapsed() : 0; }
    // Removes up to InputLen bytes, oldest first. Empty while the port is closed.
    QByteArray Input();
    // The bytes waiting, oldest first, without taking them: for a reader that writes them
    // straight from the port's buffer. Valid until the next call that reads or takes input.
    QByteArrayView waitingInput() const { return m_input.view(); }
    // Takes the first `count` waiting bytes, as Input would, without copying them.
    void dropInput(qint64 count);
    // Throws away everything received and not taken yet.
    void discardInput();
    // Reads at once what the system already holds for the port, without raising OnComm. Used
    // to collect the last bytes before a close.
    void fetchPending();
    // What had been received and not taken when the device went away; the loss closes the
    // port, and these bytes are kept for whoever wants them. Empty after the call.
    QByteArray takeUnreadAfterLoss() { return std::exchange(m_unreadAfterLoss, {}); }

    // The code of the event that raised the current OnComm.
    int CommEvent() const { return m_commEvent; }

signals:
    // Raised while at least RThreshold bytes wait, or any that waited the receive timeout
    // (CommEvent 2).
    void OnComm();
    // Every byte given to Output has been passed on to the line.
    void outputDrained();
    // The device went away or failed (unplugged, far end closed). The port is already
    // closed when this arrives; it is raised once per loss.
    void deviceLost(const QString& reason);

private:
    // Received bytes, from `begin` to `end` of `bytes`.
    struct InputBuffer
    {
        std::vector<char> bytes;
        std::size_t begin = 0;
        std::size_t end = 0;
        // Since the oldest byte waiting arrived (or one older, taken meanwhile).
        QElapsedTimer since;

        qint64 size() const { return static_cast<qint64>(end - begin); }
        // Room for at least `wanted` more bytes at the end.
        char* reserve(std::size_t wanted);
        QByteArray take(qint64 count);
        void drop(qint64 count);
        QByteArrayView view() const
        {
            return QByteArrayView(bytes.data() + begin, static_cast<qsizetype>(end - begin));
        }
        void clear()
        {
            begin = end = 0;
            since.invalidate();
        }
    };

    void readArrived();
    // One read of what the system holds: the count, 0 when nothing waits, -1 when the device
    // was lost.
    qint64 readOnce();
    void raiseReceiveEvents(bool timedOut);
    void scheduleRaise();
    void armReceiveTimer();
    void writeQueued(bool fromOutput);
    void checkDrained();
    void lose(const QString& why);
    void closePort();

    SerialDevice m_device;
    PortMap m_ports;
    int m_commPort = 2;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line;

    InputBuffer m_input;
    int m_inputLen = 0;
    int m_rThreshold = 1;
    int m_receiveTimeoutMs = 0;
    int m_commEvent = 0;
    QTimer m_receiveTimer;
    // A handler is running; it may run the event loop (a message box), so arrivals meanwhile
    // only note that it is to be called again once it returns.
    bool m_raising = false;
    bool m_raiseAgain = false;
    bool m_raiseQueued = false;

    QByteArray m_output;
    qsizetype m_outputDone = 0;
    bool m_awaitingDrain = false;
    QTimer m_drainTimer;

    QByteArray m_unreadAfterLoss;
};
