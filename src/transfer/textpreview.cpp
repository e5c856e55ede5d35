#include "transfer/textpreview.h"

#include "platform/regularfile.h"

#include <QCoreApplication>
#include <QStringDecoder>

#include <algorithm>

namespace TextPreview {

namespace {

constexpr char16_t placeholder = u'\u00B7'; // middle dot

bool shownAsIs(char16_t c)
{
    // Bidirectional and layout controls could rearrange what is shown around them.
    return !((c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
             (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF || c == 0xFFFD);
}

bool isControl(char16_t c)
{
    if (c == u'\t' || c == u'\n' || c == u'\r')
        return false;
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
}

bool isContinuation(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The length of the UTF-8 sequence that `byte` starts; 0 for a byte that starts none.
int sequenceLength(char byte)
{
    const auto b = static_cast<unsigned char>(byte);
    return b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
}

// Leaves out a character split by the edges of an excerpt.
QByteArrayView whole(QByteArrayView bytes, bool cutBefore, bool cutAfter)
{
    if (cutBefore) {
        qsizetype skip = 0;
        while (skip < 3 && skip < bytes.size() && isContinuation(bytes[skip]))
            ++skip;
        bytes = bytes.sliced(skip);
    }
    if (cutAfter) {
        for (qsizetype back = 1; back <= std::min<qsizetype>(3, bytes.size()); ++back) {
            const char byte = bytes[bytes.size() - back];
            if (isContinuation(byte))
                continue;
            if (sequenceLength(byte) > back)
                bytes.chop(back);
            break;
        }
    }
    return bytes;
}

char hexDigit(int value)
{
    return "0123456789abcdef"[value & 0xF];
}

} // namespace

bool isText(QByteArrayView bytes, bool cutBefore, bool cutAfter)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(whole(bytes, cutBefore, cutAfter));
    if (decoder.hasError())
        return false;
    return std::none_of(decoded.cbegin(), decoded.cend(),
                        [](QChar c) { return isControl(c.unicode()); });
}

QString asText(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    QString shown;
    shown.reserve(decoded.size());
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        const char16_t c = decoded.at(i).unicode();
        if (c == u'\r') {
            shown.append(u'\n');
            if (i + 1 < decoded.size() && decoded.at(i + 1) == u'\n')
                ++i;
        } else if (QChar::isHighSurrogate(c) && i + 1 < decoded.size() &&
                   QChar::isLowSurrogate(decoded.at(i + 1).unicode())) {
            shown.append(decoded.at(i));
            shown.append(decoded.at(++i));
        } else if (QChar::isSurrogate(c) || isControl(c) || !shownAsIs(c)) {
            shown.append(QChar(placeholder));
        } else {
            shown.append(QChar(c));
        }
    }
    return shown;
}

QString hexDump(QByteArrayView bytes, qint64 offset)
{
    // "00000010: 4865 6c6c 6f0a 0001 0203 0405 0607 0809  Hello..........."
    constexpr int hexWidth = bytesPerLine * 2 + bytesPerLine / 2 - 1;
    QByteArray out;
    out.reserve((bytes.size() / bytesPerLine + 1) * (hexWidth + bytesPerLine + 16));
    for (qsizetype line = 0; line < bytes.size(); line += bytesPerLine) {
        const QByteArrayView row =
            bytes.sliced(line, std::min<qsizetype>(bytesPerLine, bytes.size() - line));
        out += QByteArray::number(offset + line, 16).rightJustified(8, '0') + ": ";
        const qsizetype hexStart = out.size();
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (i > 0 && i % 2 == 0)
                out += ' ';
            const auto b = static_cast<unsigned char>(row[i]);
            out += hexDigit(b >> 4);
            out += hexDigit(b);
        }
        out += QByteArray(hexWidth - (out.size() - hexStart) + 2, ' ');
        for (const char c : row)
            out += c >= 0x20 && c < 0x7F ? c : '.';
        out += '\n';
    }
    out.chop(1);
    return QString::fromLatin1(out);
}

Preview fromBytes(QByteArrayView bytes, qint64 offset, bool more)
{
    if (isText(bytes, offset > 0, more))
        return {asText(bytes), false};
    return {hexDump(bytes, offset), true};
}

bool fromFile(const QString& path, Preview* preview, QString* error)
{
    // Never waits on a FIFO or a device: only a regular file is previewed.
    RegularFile file;
    if (!file.open(path, RegularFile::Mode::Read, error))
        return false;
    QByteArray head(fileLimit, Qt::Uninitialized);
    qint64 got = 0;
    while (got < fileLimit) {
        const qint64 n = file.read(head.data() + got, fileLimit - got, error);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += n;
    }
    head.truncate(got);
    const qint64 size = file.size();
    Preview shown = fromBytes(head, 0, size > head.size());
    if (size > head.size()) {
        shown.text +=
            QCoreApplication::translate("TextPreview", "\n\n[Showing the first %1 of %2 bytes.]")
                .arg(head.size())
                .arg(size);
    }
    *preview = shown;
    return true;
}

} // namespace TextPreview
