#include "transfer/textpreview.h"

#include "platform/regularfile.h"

#include <QCoreApplication>
#include <QStringDecoder>

namespace TextPreview {

namespace {

constexpr char16_t placeholder = u'\u00B7'; // middle dot

bool shownAsIs(char16_t c)
{
    if (c == u'\t' || c == u'\n')
        return true;
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
        return false;
    // Bidirectional and layout controls could rearrange what is shown around them.
    if ((c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
        (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF || c == 0xFFFD)
        return false;
    return true;
}

} // namespace

QString fromBytes(const QByteArray& bytes)
{
    // Text files are mostly UTF-8; anything that is not valid UTF-8 becomes placeholders.
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
        } else if (QChar::isSurrogate(c) || !shownAsIs(c)) {
            shown.append(QChar(placeholder));
        } else {
            shown.append(QChar(c));
        }
    }
    return shown;
}

bool fromFile(const QString& path, QString* text, QString* error)
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
    QString shown = fromBytes(head);
    const qint64 size = file.size();
    if (size > head.size()) {
        shown +=
            QCoreApplication::translate("TextPreview", "\n\n[Showing the first %1 of %2 bytes.]")
                .arg(head.size())
                .arg(size);
    }
    *text = shown;
    return true;
}

} // namespace TextPreview
