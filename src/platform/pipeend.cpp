#include "platform/pipeend.h"

#include "platform/nonblockingio.h"
#include "platform/systemerror.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("PipeEnd", text);
}

QString pipeError(int error)
{
    return error == EPIPE ? tr("its reader went away") : systemError(error);
}

} // namespace

PipeEnd::PipeEnd(QObject* parent) : QObject(parent) {}

PipeEnd::~PipeEnd()
{
    close();
}

bool PipeEnd::open(int fd, Direction direction, QString* error)
{
    close();
    const int flags = ::fcntl(fd, F_GETFL);
    const int wanted = direction == Direction::Read ? O_RDONLY : O_WRONLY;
    if (flags < 0 || ((flags & O_ACCMODE) != wanted && (flags & O_ACCMODE) != O_RDWR)) {
        *error = flags < 0 ? pipeError(errno) : tr("it is not open for this direction");
        return false;
    }
    if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = pipeError(errno);
        return false;
    }
    m_fd = fd;
    m_flags = flags;
    m_atEnd = false;
    m_notifier = std::make_unique<QSocketNotifier>(
        fd, direction == Direction::Read ? QSocketNotifier::Read : QSocketNotifier::Write);
    m_notifier->setEnabled(false);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PipeEnd::ready);
    return true;
}

void PipeEnd::close()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::fcntl(m_fd, F_SETFL, m_flags);
    m_fd = -1;
}

qint64 PipeEnd::read(char* data, qint64 size, QString* error)
{
    const qint64 got = NonBlockingIo::read(m_fd, data, size, &m_atEnd);
    if (got < 0)
        *error = pipeError(errno);
    return got;
}

qint64 PipeEnd::write(const char* data, qint64 size, QString* error)
{
    const qint64 put = NonBlockingIo::write(m_fd, data, size);
    if (put < 0)
        *error = pipeError(errno);
    return put;
}

void PipeEnd::watch(bool on)
{
    if (m_notifier && m_notifier->isEnabled() != on)
        m_notifier->setEnabled(on);
}
