#pragma once

#include "platform/sha256.h"
#include "transfer/transferrate.h"

#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QLabel;

// The status bar's account of a transfer. While it runs: a send's rate and time left, or a
// reception's rate and the time since its last byte, so the user sees when the device has
// finished; refreshed once a second. When it ends: a summary with the SHA-256 of the bytes, which
// stays until the next transfer. The bytes are hashed as they pass, so no file is read twice.
class TransferFeedback : public QObject
{
    Q_OBJECT

public:
    // `detail` takes the lines after the first.
    TransferFeedback(QLabel& status, QLabel& detail, QObject* parent = nullptr);

    void sendStarted(qint64 length);
    // `sent` bytes in all were handed to the line, `chunk` the last of them.
    void sent(qint64 sent, QByteArrayView chunk);
    void sendFinished();
    // `sent` bytes reached the line, or at most that many where the device cannot tell.
    void sendCancelled(qint64 sent, bool exact);
    // A failure says everything in its message; the status says nothing of a send cut short.
    void sendFailed();

    void receiveStarted();
    // These bytes reached the file, after those reported before.
    void stored(QByteArrayView bytes);
    // However the reception ended, the file holds what was stored.
    void receiveEnded();

private:
    enum class State
    {
        Idle,
        Sending,
        Receiving,
    };
    void begin(State state);
    void end(const QString& text);
    void refresh();
    void show(const QString& text);

    QLabel& m_status;
    QLabel& m_detail;
    QTimer m_tick;
    QElapsedTimer m_clock;
    TransferRate m_rate;
    Sha256 m_sha;
    State m_state = State::Idle;
    qint64 m_length = 0;
    qint64 m_bytes = 0;
    qint64 m_firstByteMs = -1;
    qint64 m_lastByteMs = -1;
};
