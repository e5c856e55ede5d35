#include "platform/regularfile.h"

#include "platform/nonblockingio.h"
#include "platform/systemerror.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("RegularFile", text);
}

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return tr("it is a folder, not a regular file.");
    if (S_ISFIFO(mode))
        return tr("it is a pipe (FIFO), not a regular file.");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return tr("it is a device, not a regular file.");
    if (S_ISSOCK(mode))
        return tr("it is a socket, not a regular file.");
    return tr("it is not a regular file.");
}

} // namespace

RegularFile::~RegularFile()
{
    close();
}

bool RegularFile::open(const QString& path, Mode mode, QString* error)
{
    close();
    if (path.isEmpty()) {
        setError(error, tr("No file name was given."));
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    // Never waits: a FIFO opens at once, to be refused below.
    const int flags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd = -1;
    bool created = false;
    if (mode == Mode::Read) {
        fd = ::open(name.constData(), O_RDONLY | flags);
    } else {
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | flags, 0666);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST)
            fd = ::open(name.constData(), O_RDWR | flags);
    }
    if (fd < 0) {
        setError(error, errno == EISDIR ? kindOf(S_IFDIR) : systemError());
        return false;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        setError(error, kindOf(info.st_mode));
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_created = created;
    return true;
}

void RegularFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_created = false;
}

qint64 RegularFile::size() const
{
    struct stat info = {};
    return m_fd >= 0 && ::fstat(m_fd, &info) == 0 ? qint64(info.st_size) : -1;
}

qint64 RegularFile::read(char* data, qint64 size, QString* error)
{
    if (m_fd < 0) {
        setError(error, tr("The file is not open."));
        return -1;
    }
    bool atEnd = false;
    const qint64 got = NonBlockingIo::read(m_fd, data, size, &atEnd);
    if (got < 0)
        setError(error, systemError());
    return got;
}

bool RegularFile::write(const char* data, qint64 size, qint64* written, QString* error)
{
    qint64 done = 0;
    if (written)
        *written = 0;
    if (m_fd < 0) {
        setError(error, tr("The file is not open."));
        return false;
    }
    while (done < size) {
        const ssize_t put = ::write(m_fd, data + done, static_cast<size_t>(size - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            setError(error, put < 0 ? systemError() : tr("The file took no more bytes."));
            return false;
        }
        done += put;
        if (written)
            *written = done;
    }
    return true;
}

bool RegularFile::truncate(QString* error)
{
    if (m_fd < 0) {
        setError(error, tr("The file is not open."));
        return false;
    }
    // ext4 writes a file back when it is closed after being truncated to nothing, even if it
    // was empty already: a new file is left as it is.
    const bool empty = size() == 0;
    if ((!empty && ::ftruncate(m_fd, 0) != 0) || ::lseek(m_fd, 0, SEEK_SET) != 0) {
        setError(error, systemError());
        return false;
    }
    return true;
}

bool RegularFile::isLinked() const
{
    struct stat info = {};
    return m_fd >= 0 && ::fstat(m_fd, &info) == 0 && info.st_nlink > 0;
}
