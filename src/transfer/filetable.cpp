#include "transfer/filetable.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("FileTable", text);
}

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

} // namespace

qint16 FileTable::FreeFile() const
{
    qint16 number = 1;
    for (const auto& [used, file] : m_files) {
        if (used != number)
            break;
        ++number;
    }
    return number;
}

bool FileTable::open(qint16 number, const QString& path, Mode mode, QString* error)
{
    if (isOpen(number)) {
        setError(error, tr("File number %1 is already in use.").arg(number));
        return false;
    }
    if (path.isEmpty()) {
        setError(error, tr("No file name was given."));
        return false;
    }
    if (QFileInfo(path).isDir()) {
        setError(error, tr("\"%1\" is a folder, not a file.").arg(path));
        return false;
    }
    auto file = std::make_unique<QFile>(path);
    const QIODevice::OpenMode flags =
        mode == Mode::Read ? QIODevice::ReadOnly : QIODevice::ReadWrite | QIODevice::Unbuffered;
    if (!file->open(flags)) {
        setError(error, file->errorString());
        return false;
    }
    m_files.emplace(number, std::move(file));
    return true;
}

QFile* FileTable::file(qint16 number) const
{
    const auto it = m_files.find(number);
    return it == m_files.end() ? nullptr : it->second.get();
}

bool FileTable::isOpen(qint16 number) const
{
    return file(number) != nullptr;
}

QString FileTable::path(qint16 number) const
{
    const QFile* f = file(number);
    return f ? f->fileName() : QString();
}

qint64 FileTable::length(qint16 number) const
{
    const QFile* f = file(number);
    return f ? f->size() : -1;
}

qint64 FileTable::position(qint16 number) const
{
    const QFile* f = file(number);
    return f ? f->pos() : -1;
}

qint64 FileTable::read(qint16 number, char* buffer, qint64 length, QString* error)
{
    QFile* f = file(number);
    if (!f) {
        setError(error, tr("The file is not open."));
        return -1;
    }
    qint64 total = 0;
    while (total < length) {
        const qint64 got = f->read(buffer + total, length - total);
        if (got < 0) {
            setError(error, f->errorString());
            return -1;
        }
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

bool FileTable::write(qint16 number, const QByteArray& bytes, QString* error, qint64* written)
{
    qint64 done = 0;
    if (written)
        *written = 0;
    QFile* f = file(number);
    if (!f) {
        setError(error, tr("The file is not open."));
        return false;
    }
    while (done < bytes.size()) {
        const qint64 put = f->write(bytes.constData() + done, bytes.size() - done);
        if (put <= 0) {
            setError(error, f->errorString());
            return false;
        }
        done += put;
        if (written)
            *written = done;
    }
    // Unbuffered files have nothing to flush; the call keeps other modes honest too.
    if (!f->flush()) {
        setError(error, f->errorString());
        return false;
    }
    return true;
}

bool FileTable::truncate(qint16 number, QString* error)
{
    QFile* f = file(number);
    if (!f) {
        setError(error, tr("The file is not open."));
        return false;
    }
    if (!f->resize(0) || !f->seek(0)) {
        setError(error, f->errorString());
        return false;
    }
    return true;
}

void FileTable::close(qint16 number)
{
    m_files.erase(number);
}
