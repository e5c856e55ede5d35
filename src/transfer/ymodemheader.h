#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// YMODEM's block 0: the file's name, a NUL, its size in decimal (and optionally more fields,
// separated by spaces, which are read past). A header with an empty name ends the batch.
struct YmodemHeader
{
    QString name; // as the sender gave it; empty at the end of the batch
    std::optional<qint64> size;

    bool endsBatch() const { return name.isEmpty(); }

    // The data of the header for `name` (its base name only) and `size`, unpadded.
    static QByteArray encode(const QString& name, qint64 size);
    // The header a block 0's data holds.
    static YmodemHeader decode(QByteArrayView data);
    // The name a file from the sender may take in a folder: its base name, never a path that
    // leads elsewhere. Empty, with the reason, where no safe name is left.
    static QString safeName(const QString& name, QString* why);
};
