#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

// Standard input or output (a pipe, a terminal, a redirected file), used without ever waiting:
// it is non-blocking while open, and `ready` says when to try again. The descriptor is shared
// with whoever else holds it (the shell, the rest of a pipeline), so its own flags come back at
// the close, and it stays open for them.
class PipeEnd : public QObject
{
    Q_OBJECT

public:
    enum class Direction
    {
        Read,
        Write,
    };

    explicit PipeEnd(QObject* parent = nullptr);
    ~PipeEnd() override;

    // False, with the reason, when `fd` is not open for that direction.
    bool open(int fd, Direction direction, QString* error);
    void close();
    bool isOpen() const { return m_fd >= 0; }

    // Up to `size` bytes: the count; 0 when none wait now, or at the end (`atEnd`); -1 on
    // failure, with the reason.
    qint64 read(char* data, qint64 size, QString* error);
    bool atEnd() const { return m_atEnd; }
    // Hands up to `size` bytes on: the count taken, 0 while the reader's side is full, -1 on
    // failure (the reader went away, say), with the reason.
    qint64 write(const char* data, qint64 size, QString* error);

    // While set, `ready` comes whenever reading or writing can go on.
    void watch(bool on);

signals:
    void ready();

private:
    int m_fd = -1;
    int m_flags = 0;
    bool m_atEnd = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
