#include "platform/serialspeed.h"

// Linux's termios2 cannot share a translation unit with <termios.h>.
#if defined(Q_OS_LINUX)
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace SerialSpeed {

#if defined(Q_OS_LINUX)

bool set(int fd, qint32 speed)
{
    termios2 line{};
    if (::ioctl(fd, TCGETS2, &line) != 0)
        return false;
    line.c_cflag &= ~tcflag_t(CBAUD);
    line.c_cflag |= BOTHER;
    line.c_ispeed = line.c_ospeed = static_cast<speed_t>(speed);
    line.c_cflag &= ~tcflag_t(CBAUD << IBSHIFT); // the input speed follows the output speed
    return ::ioctl(fd, TCSETS2, &line) == 0;
}

qint32 get(int fd)
{
    termios2 line{};
    return ::ioctl(fd, TCGETS2, &line) == 0 ? static_cast<qint32>(line.c_ospeed) : 0;
}

#else

bool set(int, qint32)
{
    return false;
}

qint32 get(int)
{
    return 0;
}

#endif

} // namespace SerialSpeed
