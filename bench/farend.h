#pragma once

#include "device/rawpty.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>

// Monotonic clock in nanoseconds, comparable between processes.
std::int64_t monotonicNs();

// The device at the far end of a raw pseudo-terminal pair: a thread on the master side that
// sends or takes bytes of the test pattern, as fast as the line goes or paced to a byte rate.
// The program under test opens `devicePath()` as its serial port.
class FarEnd
{
public:
    FarEnd();
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    // False when no pseudo-terminal could be made. Check it before handing devicePath() to a
    // program: given an empty device, the window falls back to its configured serial port.
    bool isValid() const { return m_master >= 0; }
    QString devicePath() const { return m_path; }

    // Sends the first `count` bytes of the pattern; `bytesPerSecond` 0 means unpaced.
    void startSending(std::int64_t count, std::int64_t bytesPerSecond = 0)
    {
        start(true, count, bytesPerSecond);
    }
    // Takes `count` bytes and checks each against the pattern.
    void startReceiving(std::int64_t count, std::int64_t bytesPerSecond = 0)
    {
        start(false, count, bytesPerSecond);
    }
    // The rest moves as fast as the line allows.
    void unpace() { m_paced = false; }
    // Waits for the transfer to end; true when all `count` bytes moved (and, when taking,
    // matched the pattern).
    bool wait(int timeoutMs);
    void abort();

    bool finished() const { return m_finished; }
    std::int64_t moved() const { return m_moved; }
    bool intact() const { return m_intact; }
    // When the last byte moved, by monotonicNs().
    std::int64_t lastByteNs() const { return m_lastByteNs; }

private:
    void start(bool sending, std::int64_t count, std::int64_t bytesPerSecond);
    void run(bool sending, std::int64_t count, std::int64_t bytesPerSecond);

    // The slave stays held, so the pty stays usable while the program opens and closes it.
    RawPty m_pty;
    int m_master = -1;
    QString m_path;
    std::int64_t m_count = 0;
    std::thread m_thread;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_paced{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_intact{true};
    std::atomic<std::int64_t> m_moved{0};
    std::atomic<std::int64_t> m_lastByteNs{0};
};
