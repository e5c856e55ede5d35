#pragma once

#include "platform/pipeend.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <deque>

// Standard output as the place a reception passes its bytes on to, for the next program in a
// pipeline. Nothing here waits on a slow reader: what it has not taken yet is queued in memory,
// and a reception takes no more from the port while the queue is full (`room`), so the system
// holds the rest and memory stays bounded. What is queued when the reception ends stays here to
// be passed on, or counted as lost.
class StreamOutput : public QObject
{
    Q_OBJECT

public:
    // Queued bytes past which a reception stops taking more from the port.
    static constexpr qint64 queueLimit = 1024 * 1024;

    explicit StreamOutput(QObject* parent = nullptr);

    // False, with the message for the user, when `fd` cannot be written.
    bool open(int fd, QString* error);
    // How messages name it.
    static QString name();

    // How many more bytes fit before the queue is full.
    qint64 room() const;
    // Passes on what the reader takes now and queues the rest, all of it whatever the room.
    // False, with the reason, once passing on failed (the reader went away, say).
    bool write(QByteArrayView bytes, QString* error);
    // Bytes taken by `write` and not yet passed on.
    qint64 backlog() const { return m_backlog; }
    bool hasFailed() const { return !m_failure.isEmpty(); }
    // Gives the descriptor its own flags back; what is still queued is dropped (read `backlog`
    // first to report it).
    void close();

signals:
    // The reader took more; `backlog` may have reached 0.
    void tookMore();
    // Passing the queue on failed; `why` says how. Nothing more is passed on.
    void failed(const QString& why);

private:
    // Passes on what the reader takes now; false on failure.
    bool flush();
    void onReady();

    PipeEnd m_pipe;
    std::deque<QByteArray> m_queue;
    qsizetype m_frontDone = 0;
    qint64 m_backlog = 0;
    QString m_failure;
};
