#include "farend.h"

#include "cpuplacement.h"
#include "pattern.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

// How often a paced far end moves the bytes that are due: a UART's receive FIFO interrupts
// about this often at 115200 baud.
constexpr std::int64_t paceTickNs = 1'000'000;

} // namespace

std::int64_t monotonicNs()
{
    // The steady clock is CLOCK_MONOTONIC, the same in every process.
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FarEnd::FarEnd()
{
    if (m_pty.isValid()) {
        m_master = m_pty.master();
        m_path = QString::fromStdString(m_pty.path());
    }
}

FarEnd::~FarEnd()
{
    abort();
}

void FarEnd::start(bool sending, std::int64_t count, std::int64_t bytesPerSecond)
{
    m_count = count;
    m_paced = bytesPerSecond > 0;
    m_thread = std::thread([=, this] {
        CpuPlacement::pinToFarEndCore();
        run(sending, count, bytesPerSecond);
    });
}

bool FarEnd::wait(int timeoutMs)
{
    const std::int64_t deadline = monotonicNs() + std::int64_t(timeoutMs) * 1'000'000;
    while (!m_finished && monotonicNs() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!m_finished)
        return false;
    if (m_thread.joinable())
        m_thread.join();
    return m_intact && m_moved == m_count;
}

void FarEnd::abort()
{
    m_abort = true;
    if (m_thread.joinable())
        m_thread.join();
}

void FarEnd::run(bool sending, std::int64_t count, std::int64_t bytesPerSecond)
{
    std::vector<char> buffer(64 * 1024);
    std::int64_t start = monotonicNs();
    std::int64_t nextTick = start;
    std::int64_t moved = 0;
    std::int64_t bufferedFrom = -1; // offset of what `buffer` holds when sending
    std::int64_t buffered = 0;
    while (moved < count && !m_abort) {
        std::int64_t allowed = count - moved;
        if (!sending && moved == 0)
            start = monotonicNs(); // the pace starts with the program's first byte
        if (m_paced) {
            nextTick += paceTickNs;
            std::this_thread::sleep_until(
                std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nextTick)));
            const std::int64_t due = (monotonicNs() - start) * bytesPerSecond / 1'000'000'000;
            allowed = std::min(allowed, due - moved);
            if (allowed <= 0)
                continue;
        }
        const auto want =
            static_cast<std::size_t>(std::min<std::int64_t>(allowed, std::int64_t(buffer.size())));
        pollfd p{m_master, short(sending ? POLLOUT : POLLIN), 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n;
        if (sending) {
            if (bufferedFrom != moved || buffered < std::int64_t(want)) {
                Pattern::fill(buffer.data(), want, std::uint64_t(moved));
                bufferedFrom = moved;
                buffered = std::int64_t(want);
            }
            n = ::write(m_master, buffer.data(), want);
        } else {
            n = ::read(m_master, buffer.data(), want);
            if (n > 0 && !Pattern::matches(buffer.data(), std::size_t(n), std::uint64_t(moved)))
                m_intact = false;
        }
        if (n > 0) {
            moved += n;
            m_moved = moved;
            m_lastByteNs = monotonicNs();
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // EIO: nobody holds the other side; nothing more can come through.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    m_finished = true;
}
