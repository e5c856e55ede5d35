#include "device/rawpty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

RawPty::RawPty(speed_t speed)
{
    termios raw{};
    ::cfmakeraw(&raw);
    if (speed != B0)
        ::cfsetspeed(&raw, speed);
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0) {
        m_error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        m_master = m_slave = -1;
        return;
    }
    for (int fd : {m_master, m_slave})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_path = name;
}

RawPty::~RawPty()
{
    closeMaster();
    closeSlave();
}

void RawPty::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void RawPty::closeSlave()
{
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}
