#pragma once

#include <chrono>
#include <cstddef>

// Paces one direction of the line at a number of bytes per second, as a serial line of that
// speed would carry them. The line is a clock of its own: each byte that passes takes it one
// byte time further, and the next bytes may pass once it has come back to the present. Bytes go
// in small portions, about 10 ms of line time each, so that the device wakes up about 100 times
// a second while a transfer runs and never in between.
class LinePacer
{
public:
    using Clock = std::chrono::steady_clock;

    // 0 bytes per second: no pacing at all.
    void setBytesPerSecond(double bytesPerSecond);

    // How many bytes may pass at `now`: 0 until `readyAt`, unlimited without pacing.
    std::size_t allowance(Clock::time_point now) const;
    // When bytes may pass again.
    Clock::time_point readyAt() const { return m_lineFreeAt; }
    // `count` bytes passed at `now`.
    void passed(std::size_t count, Clock::time_point now);

private:
    Clock::duration byteTimes(double count) const;

    double m_rate = 0;
    std::size_t m_portion = 1;
    Clock::duration m_slack{};
    Clock::time_point m_lineFreeAt{};
};
