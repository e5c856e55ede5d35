#include "platform/nonblockingio.h"

#include <cerrno>
#include <unistd.h>

namespace NonBlockingIo {

qint64 read(int fd, char* data, qint64 size, bool* atEnd)
{
    *atEnd = false;
    for (;;) {
        const ssize_t got = ::read(fd, data, static_cast<size_t>(size));
        if (got >= 0) {
            *atEnd = got == 0;
            return got;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

qint64 write(int fd, const char* data, qint64 size)
{
    for (;;) {
        const ssize_t put = ::write(fd, data, static_cast<size_t>(size));
        if (put >= 0)
            return put;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

} // namespace NonBlockingIo
