#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class TransferReport;

// The words in which the program tells how a transfer goes and how it went, all formed here:
// "Sending at 11.3 KiB/s, 42 s left", "Receiving at 11.3 KiB/s, last byte 2 s ago", and the
// summary with the SHA-256 of the bytes, as sha256sum prints it.
namespace TransferText {

// "1023 B", "1.50 KiB", "150.0 MiB".
QString bytes(qint64 count);
// "512 B/s", "11.3 KiB/s", "1.05 MiB/s".
QString rate(double bytesPerSecond);
// "42 s", "1:05", "1:02:03".
QString duration(qint64 seconds);

// What is known of a running transfer: a send's rate and time left, a reception's rate and the
// time since its last byte (or that it waits for the first).
QString status(const TransferReport& report);
// Two lines: the bytes, the time and the average rate; the SHA-256.
QString summary(const TransferReport& report);
// The same on one line, with where the bytes went: "Sent 1024 bytes from "a.bin" to COM1
// (/dev/ttyUSB0) at 9600,N,8,1 in 1.07 s (960 B/s); SHA-256 ...". `ending` follows the time.
QString summaryLine(const TransferReport& report, const QString& file, const QString& port,
                    const QString& settings, const QString& ending = {});

// `exact` is false where the device cannot tell what it still held: then at most `sent`. `why`
// names the cause of the stop, when not the user's Send Cancel ("SIGINT").
QString sendCancelled(qint64 sent, qint64 length, bool exact, const QString& why = {},
                      const QString& port = {});
QString sendLost(const QString& reason, qint64 handed, qint64 length);
// A paced send whose device did not send `text` within `timeoutMs` after line `line`.
QString noAnswer(const QByteArray& text, qint64 timeoutMs, const QString& port, qint64 line,
                 qint64 sent, qint64 length);
// A reception that reconnects: its device went away, came back, and what the summary says of
// the gaps (", with 1 gap of 5.2 s while the device was away").
QString deviceAway(const QString& reason, const QString& file);
QString deviceBack(const QString& port, qint64 gapMs);
QString gaps(int count, qint64 ms);
// A transfer that waits for its absent device, and how that wait ended without it. `refusal`
// is why the device could not be opened when it did appear; empty when it never did.
QString waitingForDevice(const QString& port, qint64 ms);
// The same without a limit, until the user gives up.
QString waitingForDevice(const QString& port);
QString deviceDidNotAppear(const QString& port, qint64 ms, const QString& refusal);
QString stoppedWaitingForDevice(const QString& port, const QString& why);
// A send under XON/XOFF whose bytes hold 0x11 or 0x13.
QString flowBytesInData(const QString& source);

// How a reception that ended as asked ended: ", ended by SIGINT (3 more bytes arrived and were
// not kept); "a.bin" was left as it was found".
QString receptionEnding(const QString& why, qint64 notKept, const QString& leftAsFound);
QString receiveWriteFailed(const QString& file, const QString& why, qint64 saved);
QString lastBytesWriteFailed(const QString& file, const QString& why, qint64 saved);
QString receiveLost(const QString& reason, qint64 saved, const QString& file);
QString lastBytesNotWritten(const QString& why);
QString receivedFileDeleted(const QString& file, qint64 received);
QString waitingForData(const QString& port, const QString& settings);
// `file` is empty for standard output, which cannot be left as it was.
QString noDataWithin(const QString& port, qint64 ms, const QString& file);
QString notPassedOn(qint64 bytes, const QString& stream, const QString& why);

} // namespace TransferText
