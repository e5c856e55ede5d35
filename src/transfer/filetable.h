#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <map>
#include <memory>

// Numbered files: each open file is named by a small number taken from the next free one.
// Every file still open is closed when the table goes away.
class FileTable
{
public:
    enum class Mode
    {
        Read,      // reading only; a missing file fails
        ReadWrite, // reading and writing; a missing file is created empty. Writes go straight
                   // to the operating system, so a crash loses nothing already written.
    };

    FileTable() = default;
    FileTable(const FileTable&) = delete;
    FileTable& operator=(const FileTable&) = delete;

    // The lowest number from 1 up that no open file holds.
    qint16 FreeFile() const;

    bool open(qint16 number, const QString& path, Mode mode, QString* error);
    bool isOpen(qint16 number) const;
    QString path(qint16 number) const;
    // -1 when the number is not open.
    qint64 length(qint16 number) const;
    qint64 position(qint16 number) const;

    // Reads up to `length` bytes at the current position into `buffer`; returns the count,
    // 0 at the end of the file, -1 on failure.
    qint64 read(qint16 number, char* buffer, qint64 length, QString* error);
    // Writes all of `bytes` at the current position. `written`, when given, says how many
    // reached the file, also when the write failed part way.
    bool write(qint16 number, const QByteArray& bytes, QString* error, qint64* written = nullptr);
    // Cuts the file to nothing and puts the position at its start.
    bool truncate(qint16 number, QString* error);
    // Closing a number that is not open does nothing.
    void close(qint16 number);

private:
    QFile* file(qint16 number) const;

    std::map<qint16, std::unique_ptr<QFile>> m_files;
};
