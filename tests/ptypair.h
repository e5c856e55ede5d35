#pragma once

#include "device/rawpty.h"

#include <QByteArray>
#include <QString>

#include <limits>
#include <thread>

// A raw pseudo-terminal pair standing in for the device at the far end of the line. The
// program opens `devicePath()` as its serial port; the test reads and writes the master side.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool isValid() const { return m_master >= 0; }
    QString devicePath() const { return m_path; }

    // What the program sent that is waiting now, at most `limit` bytes, without blocking.
    QByteArray readAvailable(qint64 limit = std::numeric_limits<qint64>::max());
    // Keeps the event loop running while it collects bytes, until `count` bytes arrived or
    // `timeoutMs` passed. Returns what arrived.
    QByteArray readExactly(qint64 count, int timeoutMs = 20000);
    // Keeps the event loop running for `ms` and returns whatever arrived meanwhile; used to show
    // that nothing more comes.
    QByteArray collectFor(int ms);
    // Writes all of `bytes` to the program's side, running the event loop while the pty is full.
    bool write(const QByteArray& bytes, int timeoutMs = 20000);
    // Closes the far end, as an unplugged device would.
    void closeMaster();
    // A thread that writes `bytes` at a line's pace, the bytes due every millisecond as a
    // UART's FIFO hands them over, and then, if asked, closes the far end 5 ms after the last
    // byte, as a device that goes away at once. Join it before anything else touches the pair.
    std::thread writePaced(const QByteArray& bytes, int bytesPerSecond, bool closeWhenDone);
    // A thread that reads `count` bytes at a line's pace into `into`.
    std::thread readPaced(qint64 count, int bytesPerSecond, QByteArray* into);
    // Whether a program holds the device as its serial port now.
    bool isHeld() const;
    // The speed the program's side of the line is set to, in bits per second, as the kernel
    // keeps it (read through the master, which sees the slave's settings).
    qint32 speed() const;
    // The flow control the program's side is set to: "none", "rtscts" or "xonxoff", as the
    // kernel keeps it.
    QString flowControl() const;

private:
    // The slave stays held, so the pty stays usable while the program opens and closes it.
    RawPty m_pty;
    int m_master = -1;
    QString m_path;
};
