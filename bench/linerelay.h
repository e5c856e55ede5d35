#pragma once

#include "device/rawpty.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>

// A serial line between two programs that both open a tty: two raw pseudo-terminals whose
// masters a thread joins, each way on its own, as fast as they go or paced to a byte rate in
// 1 ms steps, as a UART's FIFO would deliver them. One program opens `endA()`, the other
// `endB()`; the relay keeps both slaves held, so either side may open and close at will.
class LineRelay
{
public:
    // `bytesPerSecond` 0: unpaced.
    explicit LineRelay(std::int64_t bytesPerSecond);
    ~LineRelay();
    LineRelay(const LineRelay&) = delete;
    LineRelay& operator=(const LineRelay&) = delete;

    bool isValid() const { return m_a.isValid() && m_b.isValid(); }
    QString endA() const { return QString::fromStdString(m_a.path()); }
    QString endB() const { return QString::fromStdString(m_b.path()); }
    // When the first byte the program on B wrote reached the line, by monotonicNs(); 0 before.
    std::int64_t firstFromBNs() const { return m_firstFromBNs; }
    // When the last byte so far that the program on B wrote reached the line.
    std::int64_t lastFromBNs() const { return m_lastFromBNs; }

private:
    void run();

    RawPty m_a;
    RawPty m_b;
    std::int64_t m_bytesPerSecond = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<std::int64_t> m_firstFromBNs{0};
    std::atomic<std::int64_t> m_lastFromBNs{0};
    std::thread m_thread;
};
