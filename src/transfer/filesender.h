#pragma once

#include "transfer/sendsource.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class SerialPort;

// Sends one file (or standard input, until its end) over the port, a chunk at a time: the next
// chunk is read and handed to the port only once the port reports the last one drained, so nothing
// here waits or spins, and memory stays one chunk whatever the file's size. The first chunk is the
// port's OutBufferSize, a quarter second at the nominal speed; while the line drains much faster
// than that (a pseudo-terminal, a USB adapter that ignores the speed), chunks grow up to what the
// line takes in a quarter second, so progress never runs further ahead of the line.
//
// A send owns its file and the port from `start` to its end, closes both whichever way it ends,
// and follows the loss of the device itself. Whatever the device sends meanwhile is thrown away.
class FileSender : public QObject
{
    Q_OBJECT

public:
    enum class Start
    {
        Started,
        FileRefused, // nothing was opened
        PortRefused, // the file was closed again
    };
    // What a stopped send put on the line: exactly `bytes`, or at most that many where the
    // device cannot tell what it still held.
    struct Sent
    {
        qint64 bytes = 0;
        bool exact = true;
    };

    // The largest chunk, whatever the line takes.
    static constexpr qint64 maxChunk = 1024 * 1024;

    explicit FileSender(SerialPort& port, QObject* parent = nullptr);
    ~FileSender() override;

    // Opens the file, then the port, and begins sending from the event loop. On a refusal
    // nothing stays open and `error` says why.
    Start start(const QString& path, QString* error);
    // The same from a source already open (standard input, say); PortRefused or Started.
    Start start(std::unique_ptr<SendSource> source, QString* error);
    // Stops at once: what is still queued for the line is thrown away, and the file and the
    // port are closed.
    Sent cancel();

    bool isRunning() const { return m_running; }
    // The file of the last send and its length (-1 for a stream), also once it ended.
    qint64 length() const { return m_length; }
    // How messages name the source: the path in quotes, or "standard input".
    QString sourceName() const { return m_sourceName; }
    // Bytes handed to the port so far.
    qint64 sentCount() const { return m_sent; }

signals:
    // Another chunk, `chunk`, was handed to the port; `sent` counts every byte handed over so
    // far. The view is valid only during the call.
    void progress(qint64 sent, QByteArrayView chunk);
    // Every byte of the file has left the line; the file and the port are closed.
    void finished();
    // The send ended early (the file failed, the device went away); the file and the port are
    // closed, and `message` says how far it got.
    void failed(const QString& message);

private:
    void onDrained();
    void sendNextChunk();
    // Every byte was handed over: waits for the line to fall silent, then ends.
    void endWhenSilent();
    void adaptChunk(qint64 handed);
    void onDeviceLost(const QString& reason);
    void fail(const QString& message);
    void close();

    SerialPort& m_port;
    std::unique_ptr<SendSource> m_source;
    QString m_sourceName;
    qint64 m_length = 0;
    QByteArray m_buffer;
    qint64 m_sent = 0;
    qint64 m_chunk = 0;
    qint64 m_nominalChunk = 0;
    // Since the last chunk was handed over, to tell how fast the line really takes it.
    QElapsedTimer m_chunkClock;
    // Bytes and seconds the line took lately, older chunks fading out.
    double m_recentBytes = 0;
    double m_recentSeconds = 0;
    bool m_running = false;
    bool m_awaitingDrain = false;
    // A stream had nothing to read; its `readable` sends the next chunk.
    bool m_awaitingSource = false;
    QTimer m_settleTimer;
};
