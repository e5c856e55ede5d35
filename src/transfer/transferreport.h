#pragma once

#include "platform/sha256.h"
#include "transfer/transferrate.h"

#include <QByteArray>
#include <QByteArrayView>

#include <functional>
#include <optional>

// The account of one transfer, kept by the transfer itself and laid out by the window and the
// command line alike: the count of bytes that moved (left the line, or reached the file), the
// SHA-256 of the file's bytes, when the first and the last byte moved, the rate over the last few
// seconds and over the whole run, and the time left.
class TransferReport
{
public:
    enum class Direction
    {
        Send,
        Receive,
    };
    // Milliseconds on a steady clock; tests give their own.
    using Clock = std::function<qint64()>;

    explicit TransferReport(Clock clock = {});

    // A transfer begins now; `length` is -1 when not known in advance.
    void begin(Direction direction, qint64 length);
    // The next bytes of the file, in order, for the checksum.
    void hash(QByteArrayView bytes);
    // `count` bytes in all have moved by now.
    void setCount(qint64 count);
    // The transfer is over: times and rates stay as they are now.
    void end();

    Direction direction() const { return m_direction; }
    bool isRunning() const { return m_running; }
    qint64 count() const { return m_count; }
    qint64 length() const { return m_length; }
    QByteArray sha256Hex() const { return m_sha.hex(); }
    // Since the start: until now, or until the end.
    qint64 elapsedMs() const;
    // Since the start; none before the first byte.
    std::optional<qint64> firstByteMs() const;
    std::optional<qint64> lastByteMs() const;
    // From the first byte to the last: the time bytes were moving. A send counts from its start,
    // as the line was busy from then on.
    qint64 activeMs() const;
    // Bytes a second over the last few seconds; none in the first second.
    std::optional<double> recentRate() const;
    // Bytes a second over the active time; none when too short to tell.
    std::optional<double> averageRate() const;
    // Seconds to move the rest at the recent rate, or as the hint says; none without a length
    // or a rate.
    std::optional<qint64> secondsLeft() const;
    // What the transfer knows of its own time left better than its rate does (a paced send's
    // pauses still ahead), in milliseconds; none to go by the rate.
    void setTimeLeftHint(std::optional<qint64> ms) { m_timeLeftHintMs = ms; }

private:
    qint64 now() const;

    Clock m_clock;
    qint64 m_startMs = 0;
    qint64 m_endMs = 0;
    Direction m_direction = Direction::Send;
    bool m_running = false;
    qint64 m_length = -1;
    qint64 m_count = 0;
    qint64 m_firstByteMs = -1;
    qint64 m_lastByteMs = -1;
    std::optional<qint64> m_timeLeftHintMs;
    TransferRate m_rate;
    Sha256 m_sha;
};
