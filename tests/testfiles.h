#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>

// Files and data for the tests: bytes that a lost, repeated or swapped piece shows in, and
// whole-file reads and writes.
inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = static_cast<char>(random.bounded(256));
    return bytes;
}

// Bytes whose order shows, without a generator: the same size gives the same bytes.
inline QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return bytes;
}

// Every byte value from 0 to 255 in order, `rounds` times.
inline QByteArray everyByteValue(int rounds)
{
    QByteArray bytes;
    bytes.reserve(rounds * 256);
    for (int i = 0; i < rounds * 256; ++i)
        bytes.append(static_cast<char>(i & 0xFF));
    return bytes;
}

// The SHA-256 of `bytes` in lower-case hex, as the program prints it.
inline QString sha256Hex(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The file's content; a text no test data equals when it cannot be read.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// Writes `bytes` to the file `name` in `dir` and returns its path. A test cannot go on without
// its file, so a failure ends the test program.
inline QString writeTestFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    if (!writeFile(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}
