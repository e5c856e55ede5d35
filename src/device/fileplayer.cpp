#include "device/fileplayer.h"

#include <QByteArrayView>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FilePlayer::~FilePlayer()
{
    stop();
}

bool FilePlayer::start(const std::string& path, std::string* error)
{
    stop();
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info = {};
    if (m_fd < 0 || ::fstat(m_fd, &info) != 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        stop();
        return false;
    }
    m_path = path;
    m_size = static_cast<std::uint64_t>(info.st_size);
    m_sent = 0;
    m_atEnd = false;
    m_buffer.resize(64 * 1024);
    m_begin = m_end = 0;
    m_error.clear();
    m_hash.reset();
    refill();
    return true;
}

std::string_view FilePlayer::next(std::size_t max, std::string* error)
{
    if (!m_error.empty()) {
        *error = m_error;
        return {};
    }
    return {m_buffer.data() + m_begin, std::min(max, m_end - m_begin)};
}

void FilePlayer::sent(std::size_t count)
{
    m_hash.addData(QByteArrayView(m_buffer.data() + m_begin, static_cast<qsizetype>(count)));
    m_begin += count;
    m_sent += count;
    refill();
}

void FilePlayer::refill()
{
    if (m_fd < 0 || m_begin != m_end || m_atEnd)
        return;
    m_begin = m_end = 0;
    ssize_t n;
    do
        n = ::read(m_fd, m_buffer.data(), m_buffer.size());
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        m_error = "reading " + m_path + " failed: " + std::strerror(errno);
        return;
    }
    m_end = static_cast<std::size_t>(n);
    m_atEnd = n == 0;
}

std::string FilePlayer::sha256() const
{
    return m_hash.result().toHex().toStdString();
}

void FilePlayer::stop()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
