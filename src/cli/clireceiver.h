#pragma once

#include "transfer/filereceiver.h"
#include "transfer/streamoutput.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class ProgressPrinter;
class SerialPort;

// `marlune receive`: stores what arrives on the port into a file (or passes it on to standard
// output, for "-") through the same FileReceiver as the window, until told to stop, until the
// line stays quiet for a while after the first byte, or until enough bytes are stored. Every
// byte read, including the last ones still waiting in the port, is in the file before `done`.
//
// Standard output's reader gets a second after the end to take what is still queued for it; a
// reader that takes nothing in that time (or any longer after a stop signal) loses the rest, and
// the exit code says so.
class CliReceiver : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        std::optional<qint64> idleMs;    // quiet time after the first byte that ends it
        std::optional<qint64> maxBytes;  // the file's size at which it ends
        std::optional<qint64> timeoutMs; // the wait for the first byte that gives up
    };
    enum class State
    {
        Idle,
        Receiving,
        PassingOn, // the reception ended; standard output's reader takes what is queued
        Done,
    };

    explicit CliReceiver(SerialPort& port, ProgressPrinter& progress, QObject* parent = nullptr);

    // Refuses a file that holds data unless `force`; opens the file, then the port, and only
    // then empties the file (with a timeout: at the first byte). False, with a one-line reason,
    // when any of it fails; the file is then left as it was found.
    bool start(const QString& path, bool force, const Limits& limits, QString* error);
    // Ends the reception as asked (Ctrl-C, say): the last bytes are collected and written.
    void stop(const QString& why);
    // Whether the reception outlasts the loss of its device, before `start`.
    void setReconnect(bool on) { m_receiver.setReconnect(on); }

signals:
    // The reception is over; the file and the port are closed. 0 when it ended as asked.
    void done(int exitCode);

private:
    bool openTarget(const QString& path, bool force, ReceiveTarget* target, QString* error);
    void onTimeout();
    // Ends the reception once the line was quiet for --idle.
    void checkIdle();
    // Every way the reception ends comes here.
    void onEnded(const FileReceiver::Outcome& outcome);
    // Standard output's reader took more after the end, or failed.
    void onOutputTookMore();
    void stopPassingOn(const QString& why);
    void conclude(const QString& summary);

    SerialPort& m_port;
    ProgressPrinter& m_progress;
    // Outlives the receiver's target, to pass on what is queued after the end.
    StreamOutput m_output;
    FileReceiver m_receiver;
    State m_state = State::Idle;
    QString m_name;
    bool m_toStandardOutput = false;
    Limits m_limits;
    QTimer m_idleTimer;
    QTimer m_timeoutTimer;
    // Why the reception is being ended, for the summary.
    QString m_endWhy;
    // After a stop signal the reader's second counts from the end, not from what it last took.
    bool m_endedBySignal = false;
    QTimer m_passOnTimer;
    QString m_summary;
    int m_exitCode = 0;
};
