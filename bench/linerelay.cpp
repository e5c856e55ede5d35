#include "linerelay.h"

#include "farend.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int64_t tickNs = 1'000'000;

// One way of the line: what was read from one master and not yet written to the other, and
// how much the pace allows so far.
struct Way
{
    int from = -1;
    int to = -1;
    std::vector<char> bytes = std::vector<char>(64 * 1024);
    std::size_t begin = 0;
    std::size_t end = 0;
    std::int64_t moved = 0;

    bool empty() const { return begin == end; }

    // True when new bytes came.
    bool read()
    {
        if (!empty())
            return false;
        const ssize_t n = ::read(from, bytes.data(), bytes.size());
        begin = 0;
        end = n > 0 ? std::size_t(n) : 0;
        return n > 0;
    }

    void write(std::int64_t allowed)
    {
        const auto want = std::size_t(std::min<std::int64_t>(allowed, std::int64_t(end - begin)));
        if (want == 0)
            return;
        const ssize_t n = ::write(to, bytes.data() + begin, want);
        if (n > 0) {
            begin += std::size_t(n);
            moved += n;
        }
    }
};

} // namespace

LineRelay::LineRelay(std::int64_t bytesPerSecond) : m_bytesPerSecond(bytesPerSecond)
{
    if (isValid())
        m_thread = std::thread([this] { run(); });
}

LineRelay::~LineRelay()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void LineRelay::run()
{
    Way ways[2];
    ways[0].from = ways[1].to = m_a.master();
    ways[1].from = ways[0].to = m_b.master();
    const bool paced = m_bytesPerSecond > 0;
    const std::int64_t start = monotonicNs();
    std::int64_t nextTick = start;
    while (!m_stop) {
        if (paced) {
            nextTick += tickNs;
            std::this_thread::sleep_until(
                std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nextTick)));
        } else {
            pollfd p[4] = {
                {ways[0].from, short(ways[0].empty() ? POLLIN : 0), 0},
                {ways[0].to, short(ways[0].empty() ? 0 : POLLOUT), 0},
                {ways[1].from, short(ways[1].empty() ? POLLIN : 0), 0},
                {ways[1].to, short(ways[1].empty() ? 0 : POLLOUT), 0},
            };
            ::poll(p, 4, 50);
        }
        // Each way carries what its pace allows since the start; a way that was idle does not
        // save up for a burst later beyond one tick.
        const std::int64_t due = (monotonicNs() - start) * m_bytesPerSecond / 1'000'000'000;
        for (Way& way : ways) {
            if (way.read() && &way == &ways[1]) {
                const std::int64_t now = monotonicNs();
                if (m_firstFromBNs == 0)
                    m_firstFromBNs = now;
                m_lastFromBNs = now;
            }
            if (!paced) {
                way.write(std::int64_t(way.bytes.size()));
                continue;
            }
            if (way.empty())
                way.moved = std::max(way.moved, due - m_bytesPerSecond / 1000);
            way.write(due - way.moved);
        }
    }
}
