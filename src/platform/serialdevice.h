#pragma once

#include "platform/linesettings.h"
#include "platform/lowlatency.h"

#include <QObject>
#include <QString>

#include <memory>

class QLockFile;
class QSocketNotifier;
struct termios;

// One open serial device, held for this program alone, in raw mode: 8-bit bytes pass unchanged
// both ways, with the flow control the line settings ask for (none by default). Reads and writes
// never block; `readable` and `writable` say when to try again. The port component above decides
// what to do with the bytes.
//
// Holding the device: an exclusive flock on the descriptor (it binds root too, and follows the
// device whatever name it was opened under), TIOCEXCL against other users' plain opens, and the
// lock file "LCK..name" named after the device's resolved path, which other serial programs
// (Qt's among them) respect.
class SerialDevice : public QObject
{
    Q_OBJECT

public:
    explicit SerialDevice(QObject* parent = nullptr);
    ~SerialDevice() override;

    // Opens and configures the device; false, with the reason, when it cannot be held or
    // cannot use the settings. Nothing stays open on failure.
    bool open(const QString& path, const LineSettings& line, QString* error);
    void close();
    bool isOpen() const { return m_fd >= 0; }

    // Applies the settings to the open device, checking that it took them.
    bool apply(const LineSettings& line, QString* error);
    // Asks the open device's driver to hand over received bytes at once (see LowLatency), or
    // puts back what it had. The close puts it back too.
    bool setLowLatency(bool on, QString* why);

    // Up to `size` bytes that arrived: the count, 0 when none wait, -1 when the device failed or
    // went away (`error` says how).
    qint64 read(char* data, qint64 size, QString* error);
    // Hands up to `size` bytes to the system: the count taken, 0 when its queue is full, -1 on
    // failure.
    qint64 write(const char* data, qint64 size, QString* error);
    // Bytes the system still holds for the line, where the device tells (a UART does; a
    // pseudo-terminal always says 0).
    qint64 outputQueued() const;
    bool outputQueueKnown() const { return m_outputQueueKnown; }
    void discardInput();
    void discardOutput();

    // While set, `readable` comes whenever bytes wait (or the device went away).
    void watchReading(bool on);
    // While set, `writable` comes whenever the system takes more.
    void watchWriting(bool on);

signals:
    void readable();
    void writable();

private:
    bool hold(const QString& path, QString* error);
    bool configure(const LineSettings& line, QString* error);
    // Data bits, stop bits and parity into `tio`.
    static bool setFrame(const LineSettings& line, termios* tio, QString* error);
    static void setFlow(LineSettings::Flow flow, termios* tio);
    // Whether the device took the settings it was given.
    bool checkTaken(const LineSettings& line, QString* error);

    int m_fd = -1;
    QString m_path;
    LowLatency m_latency;
    bool m_outputQueueKnown = true;
    std::unique_ptr<QLockFile> m_lockFile;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
};
