#include "transfer/transfertext.h"

#include "transfer/transferreport.h"

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

QString status(const TransferReport& report)
{
    const std::optional<double> bytesPerSecond = report.recentRate();
    if (report.direction() == TransferReport::Direction::Send) {
        const std::optional<qint64> secondsLeft = report.secondsLeft();
        if (!bytesPerSecond)
            return tr("Sending...");
        if (!secondsLeft)
            return tr("Sending at %1, stalled").arg(rate(*bytesPerSecond));
        return tr("Sending at %1, %2 left").arg(rate(*bytesPerSecond), duration(*secondsLeft));
    }
    const std::optional<qint64> lastByteMs = report.lastByteMs();
    if (!lastByteMs)
        return tr("Receiving: waiting for the first byte");
    const QString lastByte =
        tr("last byte %1 ago").arg(duration((report.elapsedMs() - *lastByteMs) / 1000));
    if (!bytesPerSecond)
        return tr("Receiving, %1").arg(lastByte);
    return tr("Receiving at %1, %2").arg(rate(*bytesPerSecond), lastByte);
}

QString summary(const TransferReport& report)
{
    const qint64 ms = report.activeMs();
    const qint64 bytes = report.count();
    const QString time =
        ms < 60'000 ? tr("%1 s").arg(double(ms) / 1000, 0, 'f', 1) : duration((ms + 500) / 1000);
    QString first = report.direction() == TransferReport::Direction::Send
                        ? tr("Sent %1 bytes in %2").arg(bytes).arg(time)
                        : tr("Received %1 bytes in %2").arg(bytes).arg(time);
    if (const std::optional<double> average = report.averageRate())
        first += tr(", %1 on average").arg(rate(*average));
    return first + QLatin1Char('\n') +
           tr("SHA-256 %1").arg(QString::fromLatin1(report.sha256Hex()));
}

QString summaryLine(const TransferReport& report, const QString& file, const QString& port,
                    const QString& settings, const QString& ending)
{
    const std::optional<double> average = report.averageRate();
    const QString time = QString::number(double(report.activeMs()) / 1000, 'f', 2);
    const QString rateText = average ? QStringLiteral(" (%1)").arg(rate(*average)) : QString();
    const QString sha = QString::fromLatin1(report.sha256Hex());
    if (report.direction() == TransferReport::Direction::Send) {
        return tr("Sent %1 bytes from %2 to %3 at %4 in %5 s%6%7; SHA-256 %8")
            .arg(report.count())
            .arg(file, port, settings, time, rateText, ending, sha);
    }
    return tr("Received %1 bytes into %2 from %3 at %4 in %5 s%6%7; SHA-256 %8")
        .arg(report.count())
        .arg(file, port, settings, time, rateText, ending, sha);
}

QString sendCancelled(qint64 sent, qint64 length, bool exact, const QString& why,
                      const QString& port)
{
    if (why.isEmpty()) {
        return (exact ? tr("Send cancelled after %1 of %2 bytes")
                      : tr("Send cancelled after at most %1 of %2 bytes"))
            .arg(sent)
            .arg(length);
    }
    // Of a stream's length nothing is known but what was read.
    const QString ofLength = length < 0 ? QString() : tr(" of %1").arg(length);
    return tr("Stopped by %1 after %2%3%4 bytes were sent to %5.")
        .arg(why, exact ? QString() : tr("at most "))
        .arg(sent)
        .arg(ofLength, port);
}

QString sendLost(const QString& reason, qint64 handed, qint64 length)
{
    return length < 0
               ? tr("%1\nThe send was stopped after at most %2 bytes.").arg(reason).arg(handed)
               : tr("%1\nThe send was stopped after at most %2 of %3 bytes.")
                     .arg(reason)
                     .arg(handed)
                     .arg(length);
}

QString receptionEnding(const QString& why, qint64 notKept, const QString& leftAsFound)
{
    QString text = tr(", ended by %1").arg(why);
    // They were taken off the line with the rest; nobody else can have them now.
    if (notKept > 0)
        text += tr(" (%1 more bytes arrived and were not kept)").arg(notKept);
    if (!leftAsFound.isEmpty())
        text += tr(" before any byte arrived; %1 was left as it was found").arg(leftAsFound);
    return text;
}

QString receiveWriteFailed(const QString& file, const QString& why, qint64 saved)
{
    return tr("Writing to %1 failed: %2\nThe reception was stopped; %3 bytes were saved.")
        .arg(file, why)
        .arg(saved);
}

QString lastBytesWriteFailed(const QString& file, const QString& why, qint64 saved)
{
    return tr("Writing the last bytes to %1 failed: %2\n%3 bytes were saved.")
        .arg(file, why)
        .arg(saved);
}

QString receiveLost(const QString& reason, qint64 saved, const QString& file)
{
    return tr("%1\nThe reception was stopped; %2 bytes were saved to %3.")
        .arg(reason)
        .arg(saved)
        .arg(file);
}

QString lastBytesNotWritten(const QString& why)
{
    return tr("The last bytes could not be written: %1").arg(why);
}

QString receivedFileDeleted(const QString& file, qint64 received)
{
    return tr("%1 was deleted during the reception: the %2 bytes received went with it.")
        .arg(file)
        .arg(received);
}

QString waitingForData(const QString& port, const QString& settings)
{
    return tr("Waiting for data on %1 at %2 ... (Ctrl-C ends)").arg(port, settings);
}

QString noDataWithin(const QString& port, qint64 ms, const QString& file)
{
    const QString leftAlone =
        file.isEmpty() ? QString() : tr("; %1 was left as it was found").arg(file);
    return tr("No data arrived on %1 within %2 s%3.")
        .arg(port)
        .arg(double(ms) / 1000)
        .arg(leftAlone);
}

QString notPassedOn(qint64 bytes, const QString& stream, const QString& why)
{
    return tr("The last %1 bytes could not be passed on to %2: %3.").arg(bytes).arg(stream, why);
}

QString noAnswer(const QByteArray& text, qint64 timeoutMs, const QString& port, qint64 line,
                 qint64 sent, qint64 length)
{
    const QString ofLength = length < 0 ? QString() : tr(" of %1").arg(length);
    return tr("No \"%1\" came from %2 within %3 s after line %4.\nThe send was stopped after "
              "%5%6 bytes.")
        .arg(QString::fromUtf8(text), port, QString::number(double(timeoutMs) / 1000.0))
        .arg(line)
        .arg(sent)
        .arg(ofLength);
}

QString deviceAway(const QString& reason, const QString& file)
{
    return tr("%1\nEvery byte that arrived is in %2, which stays open; waiting for the device to "
              "come back.")
        .arg(reason, file);
}

QString deviceBack(const QString& port, qint64 gapMs)
{
    return tr("%1 is back after %2 s; the reception goes on.")
        .arg(port, QString::number(double(gapMs) / 1000.0, 'f', 1));
}

QString gaps(int count, qint64 ms)
{
    const QString seconds = QString::number(double(ms) / 1000.0, 'f', 1);
    return count == 1 ? tr(", with 1 gap of %1 s while the device was away").arg(seconds)
                      : tr(", with %1 gaps (%2 s in all) while the device was away")
                            .arg(count)
                            .arg(seconds);
}

QString waitingForDevice(const QString& port, qint64 ms)
{
    return tr("%1 is not there; waiting up to %2 s for it to appear.")
        .arg(port, QString::number(double(ms) / 1000.0));
}

QString waitingForDevice(const QString& port)
{
    return tr("%1 is not there; waiting for it to appear.").arg(port);
}

QString deviceDidNotAppear(const QString& port, qint64 ms, const QString& refusal)
{
    const QString text =
        tr("%1 did not appear within %2 s.").arg(port, QString::number(double(ms) / 1000.0));
    return refusal.isEmpty() ? text : text + QLatin1Char(' ') + refusal;
}

QString stoppedWaitingForDevice(const QString& port, const QString& why)
{
    return tr("Stopped by %1 while waiting for %2 to appear.").arg(why, port);
}

QString flowBytesInData(const QString& source)
{
    return tr("Warning: %1 contains 0x11/0x13 bytes: they are data and the line will take them "
              "as flow control (XON/XOFF).")
        .arg(source);
}

} // namespace TransferText
