#include "main_window/transferfeedback.h"

#include "transfer/transfertext.h"

#include <QLabel>

namespace {

constexpr int refreshIntervalMs = 1000;

} // namespace

TransferFeedback::TransferFeedback(QLabel& status, QLabel& detail, QObject* parent)
    : QObject(parent), m_status(status), m_detail(detail)
{
    m_tick.setInterval(refreshIntervalMs);
    connect(&m_tick, &QTimer::timeout, this, &TransferFeedback::refresh);
}

void TransferFeedback::begin(State state)
{
    m_state = state;
    m_bytes = 0;
    m_firstByteMs = m_lastByteMs = -1;
    m_sha.reset();
    m_clock.start();
    m_rate.start(0);
    m_tick.start();
    refresh();
}

void TransferFeedback::end(const QString& text)
{
    m_state = State::Idle;
    m_tick.stop();
    show(text);
}

void TransferFeedback::show(const QString& text)
{
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    m_status.setText(text.left(lineEnd));
    m_detail.setText(lineEnd < 0 ? QString() : text.mid(lineEnd + 1));
}

void TransferFeedback::sendStarted(qint64 length)
{
    m_length = length;
    begin(State::Sending);
}

void TransferFeedback::sent(qint64 sent, QByteArrayView chunk)
{
    if (m_state != State::Sending)
        return;
    m_sha.addData(chunk);
    m_bytes = sent;
    m_rate.update(sent, m_clock.elapsed());
}

void TransferFeedback::sendFinished()
{
    if (m_state == State::Sending) {
        end(TransferText::summary(TransferText::Direction::Sent, m_bytes, m_clock.elapsed(),
                                  m_sha.hex()));
    }
}

void TransferFeedback::sendCancelled(qint64 sent, bool exact)
{
    if (m_state == State::Sending)
        end(TransferText::sendCancelled(sent, m_length, exact));
}

void TransferFeedback::sendFailed()
{
    if (m_state == State::Sending)
        end(QString());
}

void TransferFeedback::receiveStarted()
{
    begin(State::Receiving);
}

void TransferFeedback::stored(QByteArrayView bytes)
{
    if (m_state != State::Receiving || bytes.isEmpty())
        return;
    const qint64 now = m_clock.elapsed();
    if (m_firstByteMs < 0) {
        // The rate counts from the first byte: the wait before it says nothing of the line.
        m_firstByteMs = now;
        m_rate.start(now);
    }
    m_lastByteMs = now;
    m_sha.addData(bytes);
    m_bytes += bytes.size();
    m_rate.update(m_bytes, now);
}

void TransferFeedback::receiveEnded()
{
    if (m_state != State::Receiving)
        return;
    // The time bytes were arriving: the wait before the first and after the last say nothing of
    // the line.
    const qint64 ms = m_firstByteMs < 0 ? 0 : m_lastByteMs - m_firstByteMs;
    end(TransferText::summary(TransferText::Direction::Received, m_bytes, ms, m_sha.hex()));
}

void TransferFeedback::refresh()
{
    const qint64 now = m_clock.elapsed();
    if (m_state == State::Sending) {
        show(TransferText::sending(m_rate.bytesPerSecond(now),
                                   m_rate.secondsLeft(m_length - m_bytes, now)));
    } else if (m_state == State::Receiving) {
        show(m_firstByteMs < 0 ? TransferText::waitingForFirstByte()
                               : TransferText::receiving(m_rate.bytesPerSecond(now),
                                                         (now - m_lastByteMs) / 1000));
    }
}
