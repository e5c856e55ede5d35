#include "transfer/transferrate.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int slicesPerWindow = 20;

} // namespace

TransferRate::TransferRate(qint64 windowMs)
    : m_windowMs(windowMs), m_sliceMs(std::max<qint64>(1, windowMs / slicesPerWindow))
{
}

void TransferRate::start(qint64 atMs, qint64 bytes)
{
    m_startMs = atMs;
    m_samples = {{atMs, bytes}};
}

void TransferRate::update(qint64 bytes, qint64 atMs)
{
    if (m_samples.size() >= 2 && atMs - m_samples[m_samples.size() - 2].ms < m_sliceMs)
        m_samples.back() = {atMs, bytes};
    else
        m_samples.push_back({atMs, bytes});
    while (m_samples.size() >= 2 && m_samples[1].ms <= atMs - m_windowMs)
        m_samples.pop_front();
}

std::optional<double> TransferRate::bytesPerSecond(qint64 nowMs) const
{
    if (m_samples.empty() || nowMs - m_startMs < shortestSpanMs)
        return std::nullopt;
    const Sample* base = &m_samples.front();
    for (const Sample& sample : m_samples) {
        if (sample.ms > nowMs - m_windowMs)
            break;
        base = &sample;
    }
    const qint64 span = nowMs - base->ms;
    if (span <= 0)
        return std::nullopt;
    return double(m_samples.back().bytes - base->bytes) * 1000.0 / double(span);
}

std::optional<qint64> TransferRate::secondsLeft(qint64 remaining, qint64 nowMs) const
{
    const std::optional<double> rate = bytesPerSecond(nowMs);
    if (!rate || *rate <= 0)
        return std::nullopt;
    return qint64(std::ceil(double(std::max<qint64>(0, remaining)) / *rate));
}
