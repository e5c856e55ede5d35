#include "transfer/modemoptions.h"

namespace {

struct Entry
{
    TransferProtocol protocol;
    const char* name;
    const char* title;
};

constexpr Entry entries[] = {
    {TransferProtocol::Raw, "raw", "Raw"},
    {TransferProtocol::Xmodem, "xmodem", "XMODEM"},
    {TransferProtocol::Xmodem1k, "xmodem-1k", "XMODEM-1K"},
    {TransferProtocol::Ymodem, "ymodem", "YMODEM"},
};

} // namespace

QString ModemOptions::name(TransferProtocol protocol)
{
    for (const Entry& entry : entries) {
        if (entry.protocol == protocol)
            return QString::fromLatin1(entry.name);
    }
    return QString();
}

QString ModemOptions::title(TransferProtocol protocol)
{
    for (const Entry& entry : entries) {
        if (entry.protocol == protocol)
            return QString::fromLatin1(entry.title);
    }
    return QString();
}

std::optional<TransferProtocol> ModemOptions::fromName(const QString& name)
{
    for (const Entry& entry : entries) {
        if (name.compare(QLatin1String(entry.name), Qt::CaseInsensitive) == 0)
            return entry.protocol;
    }
    return std::nullopt;
}

QStringList ModemOptions::names()
{
    QStringList list;
    for (const Entry& entry : entries)
        list << QString::fromLatin1(entry.name);
    return list;
}

QString ModemOptions::seconds(int ms)
{
    return QStringLiteral("%1 s").arg(QString::number(ms / 1000.0, 'g', 6));
}
