#include "device/linepacer.h"

#include <algorithm>
#include <limits>

void LinePacer::setBytesPerSecond(double bytesPerSecond)
{
    if (bytesPerSecond == m_rate)
        return;
    m_rate = std::max(0.0, bytesPerSecond);
    m_lineFreeAt = {};
    if (m_rate > 0) {
        m_portion = std::max<std::size_t>(1, static_cast<std::size_t>(m_rate / 100));
        // A wake-up that comes this much late is made up by the next portions; a longer pause
        // means that the line was idle, and idle time is not saved up.
        m_slack = 2 * std::max(byteTimes(static_cast<double>(m_portion)),
                               Clock::duration(std::chrono::milliseconds(10)));
    }
}

std::size_t LinePacer::allowance(Clock::time_point now) const
{
    if (m_rate <= 0)
        return std::numeric_limits<std::size_t>::max();
    return now < m_lineFreeAt ? 0 : m_portion;
}

void LinePacer::passed(std::size_t count, Clock::time_point now)
{
    if (m_rate <= 0 || count == 0)
        return;
    const Clock::time_point start = now - m_lineFreeAt > m_slack ? now : m_lineFreeAt;
    m_lineFreeAt = start + byteTimes(static_cast<double>(count));
}

LinePacer::Clock::duration LinePacer::byteTimes(double count) const
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(count / m_rate));
}
