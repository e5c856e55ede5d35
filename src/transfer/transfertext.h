#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The words in which the program tells how a transfer goes and how it went, all formed here:
// "Sending at 11.3 KiB/s, 42 s left", "Receiving at 11.3 KiB/s, last byte 2 s ago", and the
// summary with the SHA-256 of the bytes, as sha256sum prints it.
namespace TransferText {

enum class Direction
{
    Sent,
    Received,
};

// "1023 B", "1.50 KiB", "150.0 MiB".
QString bytes(qint64 count);
// "512 B/s", "11.3 KiB/s", "1.05 MiB/s".
QString rate(double bytesPerSecond);
// "42 s", "1:05", "1:02:03".
QString duration(qint64 seconds);

// What is known of a running send; rate and time left as far as they are known.
QString sending(std::optional<double> bytesPerSecond, std::optional<qint64> secondsLeft);
// A reception before its first byte.
QString waitingForFirstByte();
QString receiving(std::optional<double> bytesPerSecond, qint64 secondsSinceLastByte);
// Two lines: the bytes, the time and the average rate; the SHA-256.
QString summary(Direction direction, qint64 bytes, qint64 ms, const QByteArray& sha256Hex);
// `exact` is false where the device cannot tell what it still held: then at most `sent`.
QString sendCancelled(qint64 sent, qint64 length, bool exact);

} // namespace TransferText
