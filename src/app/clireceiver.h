#pragma once

#include "platform/sha256.h"
#include "transfer/filereceiver.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class ProgressPrinter;
class SerialPort;

// `marlune receive`: stores what arrives on the port into a file through the same FileReceiver
// as the window, until told to stop, until the line stays quiet for a while after the first
// byte, or until enough bytes are stored. Every byte read, including the last ones still
// waiting in the port, is in the file before `done`.
class CliReceiver : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        std::optional<qint64> idleMs;   // quiet time after the first byte that ends it
        std::optional<qint64> maxBytes; // the file's size at which it ends
    };

    explicit CliReceiver(SerialPort& port, ProgressPrinter& progress, QObject* parent = nullptr);

    // Refuses a file that holds data unless `force`; opens the file, then the port, and only
    // then empties the file. False, with a one-line reason, when any of it fails; the file is
    // then left as it was found.
    bool start(const QString& path, bool force, const Limits& limits, QString* error);
    // Ends the reception as asked (Ctrl-C, say): the last bytes are collected and written.
    void stop(const QString& why);

signals:
    // The reception is over; the file and the port are closed. 0 when it ended as asked.
    void done(int exitCode);

private:
    // Adds bytes that reached the file to the checksum and notes when the last came.
    void onStored(QByteArrayView bytes);
    void onFailed(const QString& message);
    // Ends the reception when a limit is reached.
    void check();
    void endSoon(const QString& why);
    void end(const QString& why);
    QString summary(const QString& ending) const;

    SerialPort& m_port;
    ProgressPrinter& m_progress;
    FileReceiver m_receiver;
    QString m_path;
    Limits m_limits;
    Sha256 m_hash;
    qint64 m_hashed = 0;
    QElapsedTimer m_sinceFirstByte;
    qint64 m_lastByteMs = 0;
    QTimer m_checkTimer;
    bool m_endQueued = false;
};
