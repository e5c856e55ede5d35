#pragma once

#include "transfer/filesender.h"

#include <QObject>
#include <QString>

class ProgressPrinter;
class SerialPort;

// `marlune send`: sends one file (or standard input, for "-") through the same FileSender as the
// window, and shows its report: progress, then the summary with a checksum of what went out.
class CliSender : public QObject
{
    Q_OBJECT

public:
    explicit CliSender(SerialPort& port, ProgressPrinter& progress, QObject* parent = nullptr);

    // Opens the file (standard input for "-"), then the port, and begins sending from the event
    // loop. False, with a one-line reason naming the file or the port, when either cannot be
    // opened.
    bool start(const QString& path, QString* error);
    // Pacing for the send, before `start`.
    void setPacing(const SendPacing& pacing) { m_sender.setPacing(pacing); }
    // Stops at once, throwing away what is still queued for the line, as the window's cancel
    // does. `why` names the cause for the message.
    void interrupt(const QString& why);

signals:
    // The send is over; the file and the port are closed. 0 when every byte left the line.
    void done(int exitCode);

private:
    void onEnded(const FileSender::Outcome& outcome);

    SerialPort& m_port;
    ProgressPrinter& m_progress;
    FileSender m_sender;
};
