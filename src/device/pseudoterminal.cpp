#include "device/pseudoterminal.h"

#include "platform/nonblockingio.h"
#include "platform/serialspeed.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    removeLink();
    if (m_watch >= 0)
        ::close(m_watch);
}

bool PseudoTerminal::create(speed_t initialSpeed, std::string* error)
{
    m_pty.emplace(initialSpeed);
    if (!m_pty->isValid()) {
        *error = m_pty->error();
        return false;
    }
    // The slave keeps its settings while closed, for whoever opens it next.
    m_pty->closeSlave();

    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch >= 0 && ::inotify_add_watch(m_watch, devicePath().c_str(),
                                            IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(m_watch);
        m_watch = -1;
    }
    if (m_watch < 0) {
        std::fprintf(stderr,
                     "marlune-device: cannot watch %s for opens (%s); looking every 100 ms "
                     "instead\n",
                     devicePath().c_str(), std::strerror(errno));
    }
    return true;
}

bool PseudoTerminal::makeLink(const std::string& path, std::string* error)
{
    struct stat existing = {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            *error = path + " exists and is not a symbolic link; it is left alone";
            return false;
        }
        // A link left by an earlier run (one that was killed, say).
        if (::unlink(path.c_str()) != 0) {
            *error = systemError("cannot replace the link " + path);
            return false;
        }
    }
    if (::symlink(devicePath().c_str(), path.c_str()) != 0) {
        *error = systemError("cannot make the link " + path);
        return false;
    }
    m_link = path;
    return true;
}

void PseudoTerminal::removeLink()
{
    if (m_link.empty())
        return;
    // Only our own: a later run may have put its link in the same place.
    char target[4096];
    const ssize_t length = ::readlink(m_link.c_str(), target, sizeof target - 1);
    if (length >= 0 && std::string(target, static_cast<std::size_t>(length)) == devicePath())
        ::unlink(m_link.c_str());
    m_link.clear();
}

std::vector<PseudoTerminal::Change> PseudoTerminal::takeChanges()
{
    std::vector<Change> changes;
    // The state first, then the notifications: an open that comes between the two has already
    // left its notification, so a close followed at once by an open is never missed.
    const bool open = slaveIsOpen();
    const Notifications seen = takeNotifications();
    if (open != m_open)
        changes.push_back(open ? Change::Opened : Change::Closed);
    else if (!open && seen.opened)
        changes = {Change::Opened, Change::Closed}; // too short to be seen open
    else if (open && seen.closedThenOpened)
        changes = {Change::Closed, Change::Opened}; // closed and opened again at once
    m_open = open;
    if (!changes.empty() || !open)
        m_closeSeen = false;
    if (std::find(changes.begin(), changes.end(), Change::Closed) != changes.end()) {
        resetSlave();
        // Opened again meanwhile: the notification went with those of our own open.
        if (!m_open && slaveIsOpen()) {
            m_open = true;
            changes.push_back(Change::Opened);
        }
    }
    return changes;
}

bool PseudoTerminal::slaveIsOpen() const
{
    pollfd p{masterFd(), 0, 0};
    return ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

PseudoTerminal::Notifications PseudoTerminal::takeNotifications()
{
    Notifications seen;
    if (m_watch < 0)
        return seen;
    // The close notification comes before the close takes effect, so the slave can still look
    // open when it is read; an open that follows later still counts as after a close.
    bool& closed = m_closeSeen;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = ::read(m_watch, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            return seen;
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                closed = true;
            if (event->mask & IN_OPEN) {
                seen.opened = true;
                seen.closedThenOpened = seen.closedThenOpened || closed;
            }
        }
    }
}

void PseudoTerminal::resetSlave()
{
    // A program that opened the port again already keeps its own exclusive use.
    const bool reopened = slaveIsOpen();
    const int slave = ::open(devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        if (errno == EBUSY && !reopened) {
            std::fprintf(stderr,
                         "marlune-device: %s was left in exclusive use by a program that ended "
                         "without closing it (killed?); only root can open it again until "
                         "marlune-device is restarted\n",
                         devicePath().c_str());
        } else if (errno == EBUSY) {
            std::fprintf(stderr,
                         "marlune-device: %s was opened again at once, in exclusive use; what "
                         "the last opening left unread may reach the new one\n",
                         devicePath().c_str());
        }
        takeNotifications();
        m_closeSeen = false;
        return;
    }
    if (!reopened)
        ::ioctl(slave, TIOCNXCL);
    ::tcflush(slave, TCIFLUSH);
    ::close(slave);
    takeNotifications(); // our own open
    m_closeSeen = false;
}

long PseudoTerminal::programSpeed() const
{
    return SerialSpeed::get(masterFd());
}

ssize_t PseudoTerminal::read(char* buffer, std::size_t size)
{
    bool atEnd = false;
    return NonBlockingIo::read(masterFd(), buffer, qint64(size), &atEnd);
}

ssize_t PseudoTerminal::write(const char* data, std::size_t size)
{
    return NonBlockingIo::write(masterFd(), data, qint64(size));
}
