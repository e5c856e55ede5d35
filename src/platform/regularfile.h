#pragma once

#include <QString>

// A regular file, opened without ever waiting on what is not one: the path is opened
// non-blocking (a FIFO with no writer, a device) and refused unless it is a regular file, so no
// open can hold up the program. Reads and writes go straight to the system, so a crash loses
// nothing already written. Closed when the object goes.
class RegularFile
{
public:
    enum class Mode
    {
        Read,      // reading only; a missing file fails
        ReadWrite, // reading and writing; a missing file is created empty
    };

    RegularFile() = default;
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // False, with the reason, when the path is missing (for reading), cannot be opened, or is a
    // folder, a FIFO, a device or anything else but a regular file.
    bool open(const QString& path, Mode mode, QString* error);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    // Whether `open` made the file.
    bool created() const { return m_created; }

    // The length the system reports; -1 when it cannot tell.
    qint64 size() const;
    // Up to `size` bytes from the current position: the count, 0 at the end, -1 on failure.
    qint64 read(char* data, qint64 size, QString* error);
    // All of `size` bytes at the current position. `written` says how many reached the file,
    // also when the write failed part way.
    bool write(const char* data, qint64 size, qint64* written, QString* error);
    // Cuts the file to nothing and puts the position at its start.
    bool truncate(QString* error);
    // False once the file has no name left (it was deleted while open).
    bool isLinked() const;

private:
    int m_fd = -1;
    bool m_created = false;
};
