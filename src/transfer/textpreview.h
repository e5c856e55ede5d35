#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// How raw bytes are shown to the user. Content that reads as text (valid UTF-8 without control
// characters other than tab, CR and LF) is shown as plain text, never as markup; anything else as
// a hex dump, so binary data never turns into a jumble of glyphs from many scripts. Files are
// previewed from their start only, so a large file never comes into memory whole.
namespace TextPreview {

inline constexpr qint64 fileLimit = 64 * 1024;
inline constexpr int bytesPerLine = 16;

struct Preview
{
    QString text;
    bool hexDump = false;
};

// Whether the bytes read as text. `cutBefore` and `cutAfter` say that the bytes are an excerpt
// of longer content: a character split at that edge does not count against them.
bool isText(QByteArrayView bytes, bool cutBefore = false, bool cutAfter = false);
// Text as shown: CR LF and lone CR show as line breaks, tabs stay, and characters that could
// rearrange or hide what is shown around them appear as a visible placeholder.
QString asText(QByteArrayView bytes);
// 16 bytes a line, as xxd writes them: the offset (counted from `offset`), the bytes in hex in
// pairs, and the printable ASCII characters, a dot for any other byte.
QString hexDump(QByteArrayView bytes, qint64 offset = 0);

// Text when the bytes read as text, a hex dump otherwise. `offset` is where the bytes start in
// their content (zero for the whole), `more` says that content follows them.
Preview fromBytes(QByteArrayView bytes, qint64 offset = 0, bool more = false);

// The first `fileLimit` bytes of the file, with a closing note when the file is longer.
bool fromFile(const QString& path, Preview* preview, QString* error);

} // namespace TextPreview
