#pragma once

#include <QByteArray>
#include <QString>

// How raw bytes are shown to the user: as plain text, never as markup, with bytes that are not
// printable shown as a visible placeholder. Files are previewed from their start only, so a
// large file never comes into memory whole.
namespace TextPreview {

inline constexpr qint64 fileLimit = 64 * 1024;

// The bytes as displayable text. CR LF and lone CR show as line breaks; tabs stay.
QString fromBytes(const QByteArray& bytes);

// The first `fileLimit` bytes of the file as text, with a closing note when the file is longer.
bool fromFile(const QString& path, QString* text, QString* error);

} // namespace TextPreview
