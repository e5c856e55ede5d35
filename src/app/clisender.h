#pragma once

#include "app/sha256.h"
#include "transfer/filesender.h"
#include "transfer/filetable.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class ProgressPrinter;
class SerialPort;

// `marlune send`: sends one file over the port through the same FileSender as the window, and
// reports progress, the end and a checksum of what went out.
class CliSender : public QObject
{
    Q_OBJECT

public:
    explicit CliSender(SerialPort& port, ProgressPrinter& progress, QObject* parent = nullptr);
    ~CliSender() override;

    // Opens the file, then the port, and begins sending from the event loop. False, with a
    // one-line reason naming the file or the port, when either cannot be opened.
    bool start(const QString& path, QString* error);
    // Stops at once, throwing away what is still queued for the line, as the window's cancel
    // does. `why` names the cause for the message.
    void interrupt(const QString& why);

signals:
    // The send is over; the file and the port are closed. 0 when every byte left the line.
    void done(int exitCode);

private:
    void onFinished();
    void onFailed(const QString& reason);
    void onDeviceLost(const QString& reason);
    void fail(const QString& reason);
    void close();

    SerialPort& m_port;
    ProgressPrinter& m_progress;
    FileTable m_files;
    FileSender m_sender;
    qint16 m_fileNumber = 0;
    QString m_path;
    qint64 m_length = 0;
    Sha256 m_hash;
    QElapsedTimer m_clock;
    bool m_running = false;
};
