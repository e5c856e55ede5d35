#include "platform/signalwatcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Where the handler writes; -1 while no watcher exists. Lock-free, so safe in a handler.
std::atomic<int> handlerFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

} // namespace

SignalWatcher::SignalWatcher(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent)
{
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    m_readFd = fds[0];
    m_writeFd = fds[1];
    handlerFd.store(m_writeFd);
    m_notifier = std::make_unique<QSocketNotifier>(m_readFd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SignalWatcher::readPending);

    for (int number : signalNumbers) {
        struct sigaction action
        {
        };
        action.sa_handler = &SignalWatcher::handle;
        sigemptyset(&action.sa_mask);
        // Other system calls go on as if nothing happened; the event loop hears of it.
        action.sa_flags = SA_RESTART;
        struct sigaction previous
        {
        };
        if (::sigaction(number, &action, &previous) == 0)
            m_previous.emplace_back(number, previous);
    }
}

SignalWatcher::~SignalWatcher()
{
    for (const auto& [number, previous] : m_previous)
        ::sigaction(number, &previous, nullptr);
    handlerFd.store(-1);
    m_notifier.reset();
    if (m_readFd >= 0)
        ::close(m_readFd);
    if (m_writeFd >= 0)
        ::close(m_writeFd);
}

void SignalWatcher::handle(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = handlerFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full socket means earlier signals still wait to be read; one more adds nothing.
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void SignalWatcher::readPending()
{
    unsigned char numbers[64];
    for (;;) {
        const ssize_t got = ::read(m_readFd, numbers, sizeof numbers);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        for (ssize_t i = 0; i < got; ++i)
            emit received(numbers[i]);
    }
}

const char* SignalWatcher::name(int signalNumber)
{
    switch (signalNumber) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}
