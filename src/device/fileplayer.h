#pragma once

#include <QCryptographicHash>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A file on its way to the program, read a block at a time. The count and the SHA-256 are of
// the bytes that went out.
class FilePlayer
{
public:
    FilePlayer() = default;
    ~FilePlayer();
    FilePlayer(const FilePlayer&) = delete;
    FilePlayer& operator=(const FilePlayer&) = delete;

    bool start(const std::string& path, std::string* error);
    bool isActive() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }
    std::uint64_t size() const { return m_size; }
    std::uint64_t sentCount() const { return m_sent; }

    // The next bytes to send, at most `max`; empty at the end of the file and after a read
    // error, which `error` then tells.
    std::string_view next(std::size_t max, std::string* error);
    // `count` bytes of those given by `next` went out.
    void sent(std::size_t count);
    // True once every byte of the file went out.
    bool isFinished() const { return m_atEnd && m_begin == m_end; }
    std::string sha256() const;
    void stop();

private:
    // Reads the next block once everything read so far went out.
    void refill();

    int m_fd = -1;
    std::string m_path;
    std::uint64_t m_size = 0;
    std::uint64_t m_sent = 0;
    bool m_atEnd = false;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    std::string m_error;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
};
