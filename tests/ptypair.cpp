#include "ptypair.h"

#include "platform/serialspeed.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    if (m_pty.isValid()) {
        m_master = m_pty.master();
        m_path = QString::fromStdString(m_pty.path());
    }
}

PtyPair::~PtyPair() = default;

QByteArray PtyPair::readAvailable(qint64 limit)
{
    QByteArray out;
    if (m_master < 0)
        return out;
    char buffer[65536];
    while (out.size() < limit) {
        const ssize_t n =
            ::read(m_master, buffer, std::min<qint64>(sizeof buffer, limit - out.size()));
        if (n > 0) {
            out.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: nothing more now; EIO: the slave side is closed
    }
    return out;
}

namespace {

// Runs the event loop until something happens or `ms` pass, whichever is first.
void pumpEvents(int ms)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

QByteArray PtyPair::readExactly(qint64 count, int timeoutMs)
{
    QByteArray out;
    QDeadlineTimer deadline(timeoutMs);
    while (out.size() < count && !deadline.hasExpired()) {
        pumpEvents(5);
        out.append(readAvailable());
        if (out.size() < count) {
            pollfd p{m_master, POLLIN, 0};
            ::poll(&p, 1, 2); // a short sleep until the program writes more
        }
    }
    return out;
}

QByteArray PtyPair::collectFor(int ms)
{
    QByteArray out;
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        pumpEvents(5);
        out.append(readAvailable());
        pollfd p{m_master, POLLIN, 0};
        ::poll(&p, 1, 2);
    }
    out.append(readAvailable());
    return out;
}

bool PtyPair::write(const QByteArray& bytes, int timeoutMs)
{
    qsizetype done = 0;
    QDeadlineTimer deadline(timeoutMs);
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (deadline.hasExpired())
            return false;
        pumpEvents(5);
    }
    return true;
}

void PtyPair::closeMaster()
{
    m_pty.closeMaster();
    m_master = -1;
}

bool PtyPair::isHeld() const
{
    // A port holds its device with an exclusive lock on the descriptor (and shuts out other
    // users' opens), which binds root as well.
    const int fd =
        ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return locked;
}

qint32 PtyPair::speed() const
{
    return SerialSpeed::get(m_master);
}

QString PtyPair::flowControl() const
{
    termios line{};
    if (::tcgetattr(m_master, &line) != 0)
        return QString();
    const bool rtscts = line.c_cflag & CRTSCTS;
    const bool xonxoff = (line.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
    return rtscts && !xonxoff    ? QStringLiteral("rtscts")
           : xonxoff && !rtscts  ? QStringLiteral("xonxoff")
           : !rtscts && !xonxoff ? QStringLiteral("none")
                                 : QStringLiteral("both");
}

namespace {

// Runs `move(due)` every millisecond with the bytes due by then at `bytesPerSecond`, until it
// says all is done.
template <typename Move> void paced(int bytesPerSecond, Move move)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (auto tick = start;;) {
        tick += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(tick);
        const auto elapsedUs =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        if (!move(qint64(elapsedUs) * bytesPerSecond / 1'000'000))
            return;
    }
}

} // namespace

std::thread PtyPair::writePaced(const QByteArray& bytes, int bytesPerSecond, bool closeWhenDone)
{
    return std::thread([this, bytes, bytesPerSecond, closeWhenDone] {
        qint64 done = 0;
        paced(bytesPerSecond, [&](qint64 due) {
            while (done < std::min<qint64>(due, bytes.size())) {
                const ssize_t n = ::write(m_master, bytes.constData() + done,
                                          std::min<qint64>(due, bytes.size()) - done);
                if (n <= 0)
                    break; // full for now; the next tick tries again
                done += n;
            }
            return done < bytes.size();
        });
        if (closeWhenDone) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            closeMaster();
        }
    });
}

std::thread PtyPair::readPaced(qint64 count, int bytesPerSecond, QByteArray* into)
{
    return std::thread([this, count, bytesPerSecond, into] {
        char buffer[4096];
        paced(bytesPerSecond, [&](qint64 due) {
            while (into->size() < std::min(due, count)) {
                const ssize_t n =
                    ::read(m_master, buffer,
                           std::min<qint64>(sizeof buffer, std::min(due, count) - into->size()));
                if (n <= 0)
                    break;
                into->append(buffer, n);
            }
            return into->size() < count;
        });
    });
}
