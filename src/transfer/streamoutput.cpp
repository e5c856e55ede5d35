#include "transfer/streamoutput.h"

#include <algorithm>

StreamOutput::StreamOutput(QObject* parent) : QObject(parent)
{
    connect(&m_pipe, &PipeEnd::ready, this, &StreamOutput::onReady);
}

bool StreamOutput::open(int fd, QString* error)
{
    QString why;
    if (!m_pipe.open(fd, PipeEnd::Direction::Write, &why)) {
        *error = tr("Cannot write to %1: %2.").arg(name(), why);
        return false;
    }
    return true;
}

QString StreamOutput::name()
{
    return tr("standard output");
}

qint64 StreamOutput::room() const
{
    return std::max<qint64>(0, queueLimit - m_backlog);
}

bool StreamOutput::write(QByteArrayView bytes, QString* error)
{
    if (hasFailed()) {
        *error = m_failure;
        return false;
    }
    if (bytes.isEmpty())
        return true;
    // What the reader takes at once goes straight from the caller's bytes; only the rest is
    // copied into the queue.
    qint64 put = 0;
    if (m_queue.empty()) {
        QString why;
        put = m_pipe.write(bytes.data(), bytes.size(), &why);
        if (put < 0) {
            m_failure = why;
            *error = m_failure;
            return false;
        }
    }
    if (put < bytes.size()) {
        m_queue.emplace_back(bytes.data() + put, bytes.size() - put);
        m_backlog += bytes.size() - put;
        if (!flush()) {
            *error = m_failure;
            return false;
        }
    }
    return true;
}

bool StreamOutput::flush()
{
    while (!m_queue.empty()) {
        const QByteArray& front = m_queue.front();
        QString why;
        const qint64 put =
            m_pipe.write(front.constData() + m_frontDone, front.size() - m_frontDone, &why);
        if (put < 0) {
            m_failure = why;
            m_pipe.watch(false);
            return false;
        }
        if (put == 0) {
            m_pipe.watch(true);
            return true;
        }
        m_backlog -= put;
        m_frontDone += put;
        if (m_frontDone == front.size()) {
            m_queue.pop_front();
            m_frontDone = 0;
        }
    }
    m_pipe.watch(false);
    return true;
}

void StreamOutput::onReady()
{
    if (hasFailed())
        return;
    const qint64 before = m_backlog;
    if (!flush()) {
        emit failed(m_failure);
        return;
    }
    if (m_backlog < before)
        emit tookMore();
}

void StreamOutput::close()
{
    m_pipe.close();
    m_queue.clear();
    m_frontDone = 0;
    m_backlog = 0;
}
