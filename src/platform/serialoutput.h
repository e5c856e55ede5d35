#pragma once

#include "platform/linesettings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class SerialDevice;

// The port's output: bytes queued for the line, handed to the system as it takes them, and an
// account of how many have left the line.
//
// Where the device reports what the system still holds (a UART, a USB adapter), that account is
// exact. Where it reports nothing (a pseudo-terminal), the system may have swallowed tens of
// kilobytes at once: the account then never runs ahead of what the line could have carried at its
// nominal speed, plus one chunk, until the line has proved faster by taking more than the system
// could have held.
class SerialOutput : public QObject
{
    Q_OBJECT

public:
    // What the system may hold for a device that does not report its queue: a pseudo-terminal's
    // writer waits at about 20 KiB; a little more is allowed for the far end's own reads.
    static constexpr qint64 unreportedQueueLimit = 64 * 1024;

    // Bytes that have left the line: exactly `bytes`, or an estimate where the device cannot
    // tell (then at most `written` left).
    struct Left
    {
        qint64 bytes = 0;
        bool exact = true;
    };

    explicit SerialOutput(SerialDevice& device, QObject* parent = nullptr);

    // The chunk a sender hands over at a time to see progress at least four times a second: a
    // quarter second of line time at the nominal speed, 1 to 4096 bytes.
    int OutBufferSize() const;
    // Queues bytes for the line and returns at once; `drained` follows once all of them are on
    // the line. False while the port is closed.
    bool write(const QByteArray& bytes);
    // Bytes handed to the system since the port opened (after a discard, what may have left).
    qint64 written() const { return m_written; }
    Left left() const;
    // False where the device cannot tell what the system holds for it (a pseudo-terminal).
    bool queueKnown() const;
    // How long the transmitter may still be busy once the queue is empty (a UART's hardware
    // FIFO, which no count reports).
    int settleMs() const;
    // Throws away all output not yet on the line, so the line falls silent at once.
    void discard();

    // The line's side: the port opened with these settings, its settings changed, it closed.
    void opened(const LineSettings& line);
    void setLine(const LineSettings& line) { m_line = line; }
    void closed();

signals:
    // Every byte queued has been passed on to the line.
    void drained();
    // Handing bytes to the system failed: the device went away.
    void failed(const QString& why);

private:
    void writeQueued(bool fromWrite);
    qint64 carried() const;
    void checkDrained();

    SerialDevice& m_device;
    LineSettings m_line;
    bool m_open = false;
    QByteArray m_queue;
    qsizetype m_queueDone = 0;
    qint64 m_written = 0;
    // What the line could have carried by the last write, at its nominal speed, and since when.
    qint64 m_carried = 0;
    QElapsedTimer m_since;
    bool m_awaitingDrain = false;
    QTimer m_drainTimer;
};
