#pragma once

#include "transfer/sendpacing.h"
#include "transfer/sendsource.h"
#include "transfer/transferreport.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class SerialPort;

// Sends one file (or standard input, until its end) over the port, a chunk at a time: the next
// chunk is read and handed to the port's output only once the output reports the last one
// drained, so nothing here waits or spins, and memory stays one chunk whatever the file's size.
// The first chunk is the output's OutBufferSize, a quarter second at the nominal speed; once the
// output tells that the line takes bytes much faster than that (a pseudo-terminal, a USB adapter
// that ignores the speed), chunks grow up to what the line takes in a quarter second.
//
// The report counts the bytes that have left the line, as the output tells them, a few times a
// second, not the bytes handed over. A send owns its file and the port from `start` to its end,
// closes both whichever way it ends, and follows the loss of the device itself. Whatever the
// device sends meanwhile is thrown away, but for the text a paced send waits for.
//
// A paced send (`setPacing`) hands over one character, or one line, at a time, and pauses or
// waits on timers between them once the last has drained; its time left counts the pauses
// still ahead.
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
    enum class State
    {
        Idle,
        Sending,        // a chunk is on its way to the line
        AwaitingSource, // a stream has nothing to read yet
        Settling,       // every byte is on the line; the transmitter finishes the last
        Pausing,        // a paced send's pause after a character or a line
        AwaitingText,   // a paced send waits for the device's text after a line
    };
    enum class Ending
    {
        Finished,     // every byte left the line
        Cancelled,    // stopped as asked
        SourceFailed, // the file could not be read
        DeviceLost,   // the device went away
        NoAnswer,     // the text a paced send waits for did not come in time
    };
    // How a send ended: what it put on the line (exactly `bytes`, or at most that many where the
    // device cannot tell) and, but for a finished one, the message for the user.
    struct Outcome
    {
        Ending ending = Ending::Finished;
        qint64 bytes = 0;
        bool exact = true;
        QString message;
    };

    // The largest chunk, whatever the line takes.
    static constexpr qint64 maxChunk = 1024 * 1024;
    // How often the count follows the bytes leaving the line.
    static constexpr int progressIntervalMs = 100;

    explicit FileSender(SerialPort& port, QObject* parent = nullptr);
    ~FileSender() override;

    // Pacing for the sends started from now on; none by default.
    void setPacing(const SendPacing& pacing) { m_pacing = pacing; }
    const SendPacing& pacing() const { return m_pacing; }

    // Opens the file, then the port, and begins sending from the event loop. On a refusal
    // nothing stays open and `error` says why.
    Start start(const QString& path, QString* error);
    // The same from a source already open (standard input, say); PortRefused or Started.
    Start start(std::unique_ptr<SendSource> source, QString* error);
    // Stops at once: what is still queued for the line is thrown away, the file and the port
    // are closed, and `ended` reports it before this returns. `why` names the cause in the
    // message ("Send Cancel", "SIGINT").
    void cancel(const QString& why = {});

    State state() const { return m_state; }
    bool isRunning() const { return m_state != State::Idle; }
    // The file of the last send and its length (-1 for a stream), also once it ended.
    qint64 length() const { return m_length; }
    // How messages name the source: the path in quotes, or "standard input".
    QString sourceName() const { return m_sourceName; }
    // Bytes read from the source and handed to the port so far: more than have left the line.
    qint64 handedCount() const { return m_handed; }
    // The last send's account, also once it ended.
    const TransferReport& report() const { return m_report; }

signals:
    // Another chunk was handed to the port. The view is valid only during the call.
    void handed(QByteArrayView chunk);
    // The report's count moved: more bytes left the line.
    void progressed();
    // The send is over, however it ended; the file and the port are closed.
    void ended(const FileSender::Outcome& outcome);
    // Something the user should know that does not stop the send: under XON/XOFF, the data
    // holds the very bytes that pause and resume the line. Once a send at most.
    void warned(const QString& message);

private:
    void onDrained();
    void sendNextChunk();
    // Pacing: the next piece of what was read ahead, the pause or wait after a piece, the text
    // heard, and the time the pauses still ahead take.
    QByteArray nextPiece();
    void pauseAfterPiece();
    void hear(QByteArrayView bytes);
    std::optional<qint64> pacedMsLeft() const;
    void adaptChunk();
    void followLine();
    // Every finish, stop, failure and loss ends here.
    void end(Ending ending, const QString& why = {});

    SerialPort& m_port;
    std::unique_ptr<SendSource> m_source;
    State m_state = State::Idle;
    QString m_sourceName;
    qint64 m_length = 0;
    QByteArray m_buffer;
    // Bytes read from the source and handed to the port.
    qint64 m_handed = 0;
    bool m_flowWarned = false;
    qint64 m_chunk = 0;
    qint64 m_nominalChunk = 0;
    // Since the last chunk was handed over, and what had left the line then, to tell how fast
    // the line really takes it.
    QElapsedTimer m_chunkClock;
    qint64 m_leftAtChunk = 0;
    // Bytes and seconds the line took lately, older chunks fading out.
    double m_recentBytes = 0;
    double m_recentSeconds = 0;
    QTimer m_settleTimer;
    QTimer m_progressTimer;
    TransferReport m_report;

    SendPacing m_pacing;
    // Read from the source; ahead of what was handed over by what a paced send holds back.
    qint64 m_read = 0;
    QByteArray m_ahead;
    qsizetype m_aheadDone = 0;
    qint64 m_linesHanded = 0;
    bool m_textHeard = false;
    QByteArray m_heard;
    // Time spent waiting for the text, for the time left.
    QElapsedTimer m_waitClock;
    qint64 m_waitedMs = 0;
    QTimer m_pauseTimer;
    QTimer m_waitTimer;
};
