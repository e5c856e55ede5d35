#pragma once

#include <QtGlobal>

#include <deque>
#include <optional>

// The rate of a transfer over a moving window of its last few seconds, from the running count of
// bytes and the time. Going by the recent past rather than the whole run, a burst into the
// system's buffers at the start soon stops counting, and a stall shows at once. It keeps one
// sample a slice of the window, whatever the rate; times are milliseconds on any steady clock.
class TransferRate
{
public:
    static constexpr qint64 defaultWindowMs = 5000;
    // Less than this since the start tells too little.
    static constexpr qint64 shortestSpanMs = 1000;

    explicit TransferRate(qint64 windowMs = defaultWindowMs);

    // A transfer begins at `atMs`, `bytes` counted so far.
    void start(qint64 atMs, qint64 bytes = 0);
    // `bytes` counted in all by `atMs`.
    void update(qint64 bytes, qint64 atMs);

    // Bytes a second over the window up to `nowMs`; none until a second after the start.
    std::optional<double> bytesPerSecond(qint64 nowMs) const;
    // Seconds, rounded up, to move `remaining` more bytes at that rate; none without a rate
    // above zero.
    std::optional<qint64> secondsLeft(qint64 remaining, qint64 nowMs) const;

private:
    struct Sample
    {
        qint64 ms = 0;
        qint64 bytes = 0;
    };

    qint64 m_windowMs;
    qint64 m_sliceMs;
    qint64 m_startMs = 0;
    // Oldest first, a slice apart, the last one the latest count; the first is the last one at
    // or before the window's start.
    std::deque<Sample> m_samples;
};
