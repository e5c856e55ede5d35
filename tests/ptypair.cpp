#include "ptypair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    if (m_pty.isValid()) {
        m_master = m_pty.master();
        m_path = QString::fromStdString(m_pty.path());
    }
}

PtyPair::~PtyPair() = default;

QByteArray PtyPair::readAvailable()
{
    QByteArray out;
    if (m_master < 0)
        return out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
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
