#include "device/transferstore.h"

#include <QByteArrayView>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace {

// The number of a stored file's name ("0042.bin" is 42), or 0 for any other name.
unsigned numberOf(const std::string& name)
{
    constexpr std::string_view suffix = ".bin";
    if (name.size() <= suffix.size() || name.size() > suffix.size() + 9 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return 0;
    unsigned number = 0;
    for (std::size_t i = 0; i < name.size() - suffix.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return number;
}

} // namespace

TransferStore::~TransferStore()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TransferStore::prepare(std::string* error)
{
    std::error_code failure;
    std::filesystem::create_directories(m_folder, failure);
    if (!std::filesystem::is_directory(m_folder, failure)) {
        *error = "cannot use " + m_folder + " as the store folder" +
                 (failure ? ": " + failure.message() : std::string());
        return false;
    }
    if (const unsigned highest = highestNumber(); highest > 0)
        m_newest = pathFor(highest);
    return true;
}

unsigned TransferStore::highestNumber() const
{
    unsigned highest = 0;
    std::error_code failure;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder, failure))
        highest = std::max(highest, numberOf(entry.path().filename().string()));
    return highest;
}

std::string TransferStore::pathFor(unsigned number) const
{
    char name[32];
    std::snprintf(name, sizeof name, "%04u.bin", number);
    return (std::filesystem::path(m_folder) / name).string();
}

bool TransferStore::begin(std::string* error)
{
    m_current = {};
    m_received = 0;
    m_hash.reset();
    m_failed = false;
    // Numbers after the highest, so that the files keep the order of the transfers even when
    // one in the middle was deleted; O_EXCL leaves a file that appeared meanwhile alone.
    const unsigned first = highestNumber() + 1;
    for (unsigned number = first; number < first + 100; ++number) {
        const std::string path = pathFor(number);
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (m_fd >= 0) {
            m_current.path = path;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    *error = "cannot make a file in " + m_folder + ": " + std::strerror(errno) +
             "; this transfer is not stored";
    m_failed = true;
    return false;
}

bool TransferStore::append(const char* data, std::size_t size, std::string* error)
{
    m_received += size;
    if (m_fd < 0)
        return true; // failed before, and said so then
    m_hash.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(m_fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = "writing " + m_current.path +
                     " failed: " + std::strerror(n < 0 ? errno : ENOSPC) +
                     "; the rest of this transfer is lost";
            m_current.size += done;
            ::close(m_fd);
            m_fd = -1;
            m_failed = true;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    m_current.size += size;
    return true;
}

TransferStore::Result TransferStore::finish()
{
    Result result = m_current;
    if (m_fd >= 0 && ::close(m_fd) != 0)
        m_failed = true;
    m_fd = -1;
    result.received = m_received;
    result.complete = !m_failed && result.size == m_received;
    result.sha256 = m_hash.result().toHex().toStdString();
    if (!result.path.empty() && result.complete)
        m_newest = result.path;
    m_failed = false;
    m_current = {};
    return result;
}
