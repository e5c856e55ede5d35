// The least a program can do for a reception on a paced line, to set the program's CPU against:
// wake for each arrival on the line and read it into a buffer, until a number of bytes came.
//
//   marlune_floor qt DEVICE BYTES   a QCoreApplication waking on a QSocketNotifier, on the event
//                                   dispatcher the environment chooses (QT_NO_GLIB=1: Qt's own,
//                                   as the program uses), so the event loop's own cost is counted
//   marlune_floor c DEVICE BYTES    a plain C loop of poll and read
//
// Exit status 0 once BYTES arrived, 1 when the line failed first, 2 on a usage error.

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

// As much as the program reads at once.
constexpr std::size_t bufferSize = 64 * 1024;

// Reads what waits; the count, 0 when nothing did, -1 when the line failed or hung up.
ssize_t readArrival(int fd, std::vector<char>& buffer)
{
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0)
        return n;
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return -1;
}

int pollLoop(int fd, std::int64_t bytes)
{
    std::vector<char> buffer(bufferSize);
    for (std::int64_t got = 0; got < bytes;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR)
            return 1;
        const ssize_t n = readArrival(fd, buffer);
        if (n < 0)
            return 1;
        got += n;
    }
    return 0;
}

int qtLoop(int argc, char* argv[], int fd, std::int64_t bytes)
{
    QCoreApplication app(argc, argv);
    std::vector<char> buffer(bufferSize);
    std::int64_t got = 0;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        const ssize_t n = readArrival(fd, buffer);
        if (n < 0) {
            notifier.setEnabled(false);
            QCoreApplication::exit(1);
            return;
        }
        got += n;
        if (got >= bytes) {
            notifier.setEnabled(false);
            QCoreApplication::exit(0);
        }
    });
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4 || (std::strcmp(argv[1], "qt") != 0 && std::strcmp(argv[1], "c") != 0)) {
        std::fprintf(stderr, "usage: marlune_floor qt|c DEVICE BYTES\n");
        return 2;
    }
    const std::int64_t bytes = std::strtoll(argv[3], nullptr, 10);
    const int fd = ::open(argv[2], O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "marlune_floor: %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    const int status =
        std::strcmp(argv[1], "c") == 0 ? pollLoop(fd, bytes) : qtLoop(argc, argv, fd, bytes);
    ::close(fd);
    return status;
}
