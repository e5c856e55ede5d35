#include "transfer/ymodemheader.h"

#include <QCoreApplication>

QByteArray YmodemHeader::encode(const QString& name, qint64 size)
{
    QString base = name.section(QLatin1Char('/'), -1);
    QByteArray data = base.toUtf8();
    data.append('\0');
    data.append(QByteArray::number(size));
    data.append('\0');
    return data;
}

YmodemHeader YmodemHeader::decode(QByteArrayView data)
{
    YmodemHeader header;
    const qsizetype nul = data.indexOf('\0');
    const QByteArrayView name = nul < 0 ? data : data.first(nul);
    header.name = QString::fromUtf8(name);
    if (nul < 0)
        return header;
    QByteArrayView rest = data.sliced(nul + 1);
    const qsizetype end = rest.indexOf('\0');
    if (end >= 0)
        rest = rest.first(end);
    const QByteArrayView sizeField =
        rest.first(rest.indexOf(' ') < 0 ? rest.size() : rest.indexOf(' '));
    bool ok = false;
    const qint64 size = sizeField.toLongLong(&ok);
    if (ok && size >= 0)
        header.size = size;
    return header;
}

QString YmodemHeader::safeName(const QString& name, QString* why)
{
    const auto tr = [](const char* text) {
        return QCoreApplication::translate("YmodemHeader", text);
    };
    // Senders from other systems may name the file with their own separators.
    QString base = name;
    base.replace(QLatin1Char('\\'), QLatin1Char('/'));
    base = base.section(QLatin1Char('/'), -1);
    if (base.isEmpty() || base == QLatin1String(".") || base == QLatin1String("..")) {
        *why = tr("the sender named the file \"%1\", which leaves no file name").arg(name);
        return QString();
    }
    for (const QChar c : base) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            *why = tr("the sender's file name \"%1\" holds control characters").arg(name);
            return QString();
        }
    }
    return base;
}
