#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QTimer>

class FileTable;
class SerialPort;

// Sends an open file over an open port, one chunk at a time: the next chunk is read and handed
// to the port only when the port reports the previous one drained, so nothing here waits or
// spins. Memory stays one chunk, whatever the file's size.
class FileSender : public QObject
{
    Q_OBJECT

public:
    explicit FileSender(SerialPort& port, FileTable& files, QObject* parent = nullptr);

    // Begins sending `length` bytes of the file open under `fileNumber`, from its current
    // position. The port must be open. Progress and the end are reported by the signals.
    void start(qint16 fileNumber, qint64 length);
    // Stops at once: no further file or port access. Closing them is the caller's.
    void stop();

    bool isRunning() const { return m_running; }
    qint64 sentCount() const { return m_sent; }

signals:
    // Another chunk was handed to the port; `sent` counts every byte handed over so far.
    void progress(qint64 sent);
    // The bytes just handed to the port, reported before `progress`; for whoever wants to
    // follow the content (a checksum, say). The view is valid only during the call.
    void chunkSent(QByteArrayView chunk);
    // Every byte of the file has left the line.
    void finished();
    // Reading the file failed; nothing unread was sent, and sending has stopped.
    void failed(const QString& reason);

private:
    void sendNextChunk();
    void onDrained();
    void fail(const QString& reason);

    SerialPort& m_port;
    FileTable& m_files;
    qint16 m_fileNumber = 0;
    qint64 m_length = 0;
    qint64 m_sent = 0;
    qint64 m_chunkSize = 0;
    QByteArray m_buffer;
    bool m_running = false;
    bool m_awaitingDrain = false;
    QTimer m_settleTimer;
};
