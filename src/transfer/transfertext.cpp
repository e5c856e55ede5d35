#include "transfer/transfertext.h"

#include <QCoreApplication>

#include <algorithm>

namespace TransferText {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("TransferText", text);
}

} // namespace

QString bytes(qint64 count)
{
    if (count < 1024)
        return tr("%1 B").arg(count);
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(count);
    int unit = -1;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', value < 10 ? 2 : 1).arg(units[unit]);
}

QString rate(double bytesPerSecond)
{
    return bytes(qint64(bytesPerSecond + 0.5)) + QStringLiteral("/s");
}

QString duration(qint64 seconds)
{
    seconds = std::max<qint64>(0, seconds);
    if (seconds < 60)
        return tr("%1 s").arg(seconds);
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const QString rest = QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (hours == 0)
        return QStringLiteral("%1:%2").arg(minutes).arg(rest);
    return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QLatin1Char('0')).arg(rest);
}

QString sending(std::optional<double> bytesPerSecond, std::optional<qint64> secondsLeft)
{
    if (!bytesPerSecond)
        return tr("Sending...");
    if (!secondsLeft)
        return tr("Sending at %1, stalled").arg(rate(*bytesPerSecond));
    return tr("Sending at %1, %2 left").arg(rate(*bytesPerSecond), duration(*secondsLeft));
}

QString waitingForFirstByte()
{
    return tr("Receiving: waiting for the first byte");
}

QString receiving(std::optional<double> bytesPerSecond, qint64 secondsSinceLastByte)
{
    const QString lastByte = tr("last byte %1 ago").arg(duration(secondsSinceLastByte));
    if (!bytesPerSecond)
        return tr("Receiving, %1").arg(lastByte);
    return tr("Receiving at %1, %2").arg(rate(*bytesPerSecond), lastByte);
}

QString summary(Direction direction, qint64 bytes, qint64 ms, const QByteArray& sha256Hex)
{
    const QString time =
        ms < 60'000 ? tr("%1 s").arg(double(ms) / 1000, 0, 'f', 1) : duration((ms + 500) / 1000);
    QString first = direction == Direction::Sent
                        ? tr("Sent %1 bytes in %2").arg(bytes).arg(time)
                        : tr("Received %1 bytes in %2").arg(bytes).arg(time);
    // Too short a time says nothing of the line.
    if (ms >= 100 && bytes > 0)
        first += tr(", %1 on average").arg(rate(double(bytes) * 1000 / double(ms)));
    return first + QLatin1Char('\n') + tr("SHA-256 %1").arg(QString::fromLatin1(sha256Hex));
}

QString sendCancelled(qint64 sent, qint64 length, bool exact)
{
    return (exact ? tr("Send cancelled after %1 of %2 bytes")
                  : tr("Send cancelled after at most %1 of %2 bytes"))
        .arg(sent)
        .arg(length);
}

} // namespace TransferText
