#include "device/virtualdevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>

namespace {

constexpr std::size_t blockSize = 64 * 1024;
// After an unexpected read error, reading waits this long, so that a lasting error cannot make
// the loop spin.
constexpr std::chrono::milliseconds readRetryDelay{20};
// Without inotify, how often a closed port is looked at for an open.
constexpr int unwatchedLookMs = 100;

// One line on standard output, for scripts and tests; flushed at once.
void announce(const std::string& line)
{
    std::fputs((line + '\n').c_str(), stdout);
    std::fflush(stdout);
}

// A message for people, on standard error.
void tell(const std::string& message)
{
    std::fputs(("marlune-device: " + message + '\n').c_str(), stderr);
}

} // namespace

VirtualDevice::VirtualDevice(const DeviceOptions& options, PseudoTerminal& line,
                             TransferStore& store)
    : m_options(options), m_line(line), m_store(store),
      m_gap(std::chrono::milliseconds(options.gapMs)), m_programSpeed(line.programSpeed()),
      m_buffer(blockSize)
{
}

int VirtualDevice::run(int stopFd)
{
    announce("device " + m_line.devicePath());
    if (!m_options.linkPath.empty())
        announce("link " + m_options.linkPath);

    int status = 0;
    while (step(stopFd, &status)) {
    }

    if (m_player.isActive())
        stopPlay();
    // What the program already handed to the line is kept, however slow the line.
    drainLine();
    if (m_store.isStoring())
        endTransfer();
    return status;
}

bool VirtualDevice::step(int stopFd, int* status)
{
    followSpeed();
    Clock::time_point now = Clock::now();
    const bool open = m_line.isOpenByProgram();
    const bool wantRead = now >= m_readRetryAt && !m_tailRead && m_readPacer.allowance(now) > 0;
    const bool wantWrite = m_player.isActive() && m_writePacer.allowance(now) > 0;
    const auto lineEvents = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    // While the port is open the master is always watched, for the hang-up that its close
    // brings. While it is closed the master reports that hang-up all the time, so it is
    // watched only to read what the program left on the line.
    pollfd fds[3] = {
        {stopFd, POLLIN, 0},
        {m_line.watchFd(), POLLIN, 0},
        {open || lineEvents != 0 ? m_line.masterFd() : -1, lineEvents, 0},
    };
    const bool lookForOpens = !open && m_line.watchFd() < 0;
    if (::poll(fds, 3, pollTimeoutMs(now, lookForOpens)) < 0) {
        if (errno == EINTR)
            return true;
        tell(std::string("waiting for the line failed: ") + std::strerror(errno));
        *status = 1;
        return false;
    }
    now = Clock::now();
    if (fds[0].revents != 0)
        return false;
    if (fds[1].revents != 0 || (open && (fds[2].revents & POLLHUP)) || lookForOpens) {
        for (const PseudoTerminal::Change change : m_line.takeChanges()) {
            if (change == PseudoTerminal::Change::Opened)
                onOpened(now);
            else
                onClosed();
        }
    }
    if (wantRead && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
        readFromProgram(now);
    if (wantWrite && (fds[2].revents & POLLOUT) && m_player.isActive())
        writeToProgram(now);

    now = Clock::now();
    if (const auto end = transferEndsAt(); end && now >= *end)
        endTransfer();
    if (const auto start = playStartsAt(); start && now >= *start)
        startPlay();
    return true;
}

int VirtualDevice::pollTimeoutMs(Clock::time_point now, bool lookForOpens) const
{
    int timeoutMs = -1;
    if (const auto deadline = nextDeadline(now)) {
        // Rounded up: waking a little late is made up for, waking early would be a spin.
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
        timeoutMs = static_cast<int>(std::clamp<long long>(wait.count(), 0, 3'600'000));
    }
    if (lookForOpens && (timeoutMs < 0 || timeoutMs > unwatchedLookMs))
        timeoutMs = unwatchedLookMs;
    return timeoutMs;
}

void VirtualDevice::drainLine()
{
    // Bounded, in case the program keeps writing as fast as we read.
    m_readPacer.setBytesPerSecond(0);
    for (int round = 0; round < 64; ++round) {
        const ssize_t count = m_line.read(m_buffer.data(), m_buffer.size());
        if (count <= 0)
            break;
        keepReceived(count, Clock::now());
    }
}

void VirtualDevice::followSpeed()
{
    long speed = m_options.baud;
    if (m_options.baudFollowsProgram) {
        // Once the port is closed, its end goes back to the settings from before the open; the
        // bytes still on their way keep the speed the program used.
        if (m_line.isOpenByProgram())
            m_programSpeed = m_line.programSpeed();
        speed = m_programSpeed;
    }
    if (speed == m_speed)
        return;
    if (m_options.baudFollowsProgram && m_speed >= 0) {
        tell(speed > 0 ? "the line now runs at " + std::to_string(speed) + " bits per second"
                       : std::string("the line now runs as fast as it can"));
    }
    m_speed = speed;
    // 8 data bits, no parity, 1 stop bit: 10 bits on the line for each byte.
    m_readPacer.setBytesPerSecond(static_cast<double>(speed) / 10.0);
    m_writePacer.setBytesPerSecond(static_cast<double>(speed) / 10.0);
}

void VirtualDevice::onOpened(Clock::time_point now)
{
    m_openedAt = now;
    m_tailRead = false;
    m_playedThisOpening = false;
    m_sendingThisOpening = false;
    announce("opened");
}

void VirtualDevice::onClosed()
{
    if (m_player.isActive())
        stopPlay();
    // What the program sent before it closed is still read, at the line's pace.
    m_tailRead = false;
    announce("closed");
}

void VirtualDevice::readFromProgram(Clock::time_point now)
{
    const std::size_t wanted = std::min(m_readPacer.allowance(now), m_buffer.size());
    const ssize_t count = m_line.read(m_buffer.data(), wanted);
    if (count < 0) {
        if (errno == EIO && !m_line.isOpenByProgram()) {
            // The port is closed and everything the program sent has been read.
            m_tailRead = true;
            return;
        }
        // EIO while the port seems open: it has just been closed, which the next look at the
        // master shows.
        if (errno != EIO)
            tell(std::string("reading from the line failed: ") + std::strerror(errno));
        m_readRetryAt = now + readRetryDelay;
        return;
    }
    if (count > 0)
        keepReceived(count, now);
}

void VirtualDevice::keepReceived(ssize_t count, Clock::time_point now)
{
    std::string error;
    if (!m_store.isStoring()) {
        if (!m_store.begin(&error))
            tell(error);
        if (m_line.isOpenByProgram())
            m_sendingThisOpening = true;
    }
    if (!m_store.append(m_buffer.data(), static_cast<std::size_t>(count), &error))
        tell(error);
    m_lastByteAt = now;
    m_readPacer.passed(static_cast<std::size_t>(count), now);
}

void VirtualDevice::endTransfer()
{
    const TransferStore::Result result = m_store.finish();
    if (result.complete) {
        announce("stored " + result.path + ' ' + std::to_string(result.size) + ' ' + result.sha256);
    } else {
        announce("store-failed " + (result.path.empty() ? m_options.storeDir : result.path) + ' ' +
                 std::to_string(result.size) + ' ' + std::to_string(result.received));
    }
}

void VirtualDevice::startPlay()
{
    m_playedThisOpening = true;
    const std::string& source = m_options.playFile.empty() ? m_store.newest() : m_options.playFile;
    if (source.empty()) {
        tell("nothing to play yet: send a file first, or give --play FILE");
        return;
    }
    std::string error;
    if (!m_player.start(source, &error)) {
        tell(error);
        return;
    }
    if (m_player.isFinished())
        finishPlay(); // an empty file
}

void VirtualDevice::writeToProgram(Clock::time_point now)
{
    std::string error;
    const std::string_view bytes =
        m_player.next(std::min(m_writePacer.allowance(now), blockSize), &error);
    if (!error.empty()) {
        tell(error);
        stopPlay();
        return;
    }
    const ssize_t count = m_line.write(bytes.data(), bytes.size());
    if (count < 0) {
        tell(std::string("writing to the line failed: ") + std::strerror(errno));
        stopPlay();
        return;
    }
    m_player.sent(static_cast<std::size_t>(count));
    m_writePacer.passed(static_cast<std::size_t>(count), now);
    if (m_player.isFinished())
        finishPlay();
}

void VirtualDevice::finishPlay()
{
    announce("played " + m_player.path() + ' ' + std::to_string(m_player.sentCount()) + ' ' +
             m_player.sha256());
    m_player.stop();
}

void VirtualDevice::stopPlay()
{
    announce("play-stopped " + m_player.path() + ' ' + std::to_string(m_player.sentCount()) + ' ' +
             std::to_string(m_player.size()));
    m_player.stop();
}

std::optional<VirtualDevice::Clock::time_point> VirtualDevice::transferEndsAt() const
{
    if (!m_store.isStoring())
        return std::nullopt;
    // Quiet means that nothing came although the paced line would have let it in.
    return std::max(m_lastByteAt, m_readPacer.readyAt()) + m_gap;
}

std::optional<VirtualDevice::Clock::time_point> VirtualDevice::playStartsAt() const
{
    if (!m_options.playEnabled || !m_line.isOpenByProgram() || m_playedThisOpening ||
        m_sendingThisOpening || m_store.isStoring() || m_player.isActive())
        return std::nullopt;
    return std::max(m_openedAt, m_lastByteAt) + m_gap;
}

std::optional<VirtualDevice::Clock::time_point>
VirtualDevice::nextDeadline(Clock::time_point now) const
{
    std::optional<Clock::time_point> next;
    const auto consider = [&next](Clock::time_point at) {
        if (!next || at < *next)
            next = at;
    };
    if (const auto end = transferEndsAt())
        consider(*end);
    if (const auto start = playStartsAt())
        consider(*start);
    if (now < m_readRetryAt)
        consider(m_readRetryAt);
    else if (!m_tailRead && m_readPacer.allowance(now) == 0)
        consider(m_readPacer.readyAt());
    if (m_player.isActive() && m_writePacer.allowance(now) == 0)
        consider(m_writePacer.readyAt());
    return next;
}
