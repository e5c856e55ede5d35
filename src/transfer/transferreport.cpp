#include "transfer/transferreport.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

// Less than this says nothing of the line.
constexpr qint64 shortestAverageMs = 100;

} // namespace

TransferReport::TransferReport(Clock clock) : m_clock(std::move(clock))
{
    if (!m_clock) {
        auto steady = std::make_shared<QElapsedTimer>();
        steady->start();
        m_clock = [steady] { return steady->elapsed(); };
    }
}

qint64 TransferReport::now() const
{
    return m_clock();
}

void TransferReport::begin(Direction direction, qint64 length)
{
    m_direction = direction;
    m_length = length;
    m_running = true;
    m_count = 0;
    m_firstByteMs = m_lastByteMs = -1;
    m_timeLeftHintMs.reset();
    m_sha.reset();
    m_startMs = m_endMs = now();
    m_rate.start(m_startMs);
}

void TransferReport::hash(QByteArrayView bytes)
{
    m_sha.addData(bytes);
}

void TransferReport::setCount(qint64 count)
{
    if (!m_running || count == m_count)
        return;
    const qint64 at = now();
    if (m_firstByteMs < 0) {
        m_firstByteMs = at;
        // A reception's rate counts from its first byte: the wait before it says nothing of the
        // line.
        if (m_direction == Direction::Receive)
            m_rate.start(at, m_count);
    }
    m_lastByteMs = at;
    m_count = count;
    m_rate.update(count, at);
}

void TransferReport::end()
{
    if (!m_running)
        return;
    m_endMs = now();
    m_running = false;
}

qint64 TransferReport::elapsedMs() const
{
    return (m_running ? now() : m_endMs) - m_startMs;
}

std::optional<qint64> TransferReport::firstByteMs() const
{
    return m_firstByteMs < 0 ? std::nullopt : std::optional(m_firstByteMs - m_startMs);
}

std::optional<qint64> TransferReport::lastByteMs() const
{
    return m_lastByteMs < 0 ? std::nullopt : std::optional(m_lastByteMs - m_startMs);
}

qint64 TransferReport::activeMs() const
{
    if (m_firstByteMs < 0)
        return 0;
    const qint64 from = m_direction == Direction::Send ? m_startMs : m_firstByteMs;
    return m_lastByteMs - from;
}

std::optional<double> TransferReport::recentRate() const
{
    return m_rate.bytesPerSecond(m_running ? now() : m_endMs);
}

std::optional<double> TransferReport::averageRate() const
{
    const qint64 ms = activeMs();
    if (ms < shortestAverageMs || m_count <= 0)
        return std::nullopt;
    return double(m_count) * 1000 / double(ms);
}

std::optional<qint64> TransferReport::secondsLeft() const
{
    if (m_length < 0)
        return std::nullopt;
    if (m_running && m_timeLeftHintMs)
        return (std::max<qint64>(0, *m_timeLeftHintMs) + 999) / 1000;
    return m_rate.secondsLeft(m_length - m_count, m_running ? now() : m_endMs);
}
