#include "platform/serialoutput.h"

#include "platform/serialdevice.h"

#include <algorithm>

SerialOutput::SerialOutput(SerialDevice& device, QObject* parent)
    : QObject(parent), m_device(device)
{
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_drainTimer, &QTimer::timeout, this, &SerialOutput::checkDrained);
    connect(&m_device, &SerialDevice::writable, this, [this] { writeQueued(false); });
}

void SerialOutput::opened(const LineSettings& line)
{
    m_line = line;
    m_open = true;
    m_written = 0;
    m_carried = 0;
    m_since.invalidate();
}

void SerialOutput::closed()
{
    m_open = false;
    m_drainTimer.stop();
    m_awaitingDrain = false;
    m_queue = QByteArray();
    m_queueDone = 0;
}

int SerialOutput::OutBufferSize() const
{
    // The next chunk is handed over only once the last one has drained, so the progress shown
    // after each chunk is never more than that ahead of the line.
    const double quarterSecond = m_line.charactersPerSecond() / 4;
    return static_cast<int>(std::clamp(quarterSecond, 1.0, 4096.0));
}

bool SerialOutput::write(const QByteArray& bytes)
{
    if (!m_open)
        return false;
    if (m_queueDone == m_queue.size()) {
        m_queue = bytes; // shared, not copied: the caller leaves it alone until drained
        m_queueDone = 0;
    } else {
        m_queue.append(bytes);
    }
    m_awaitingDrain = true;
    writeQueued(true);
    return m_open;
}

void SerialOutput::writeQueued(bool fromWrite)
{
    while (m_open && m_queueDone < m_queue.size()) {
        QString why;
        const qint64 put =
            m_device.write(m_queue.constData() + m_queueDone, m_queue.size() - m_queueDone, &why);
        if (put < 0) {
            emit failed(why);
            return;
        }
        if (put == 0) {
            m_device.watchWriting(true);
            return;
        }
        m_carried = carried();
        m_since.start();
        m_queueDone += put;
        m_written += put;
    }
    m_device.watchWriting(false);
    m_queue = QByteArray();
    m_queueDone = 0;
    // Not from inside write: its caller is to finish first.
    if (fromWrite)
        m_drainTimer.start(0);
    else
        checkDrained();
}

void SerialOutput::checkDrained()
{
    if (!m_awaitingDrain || !m_open || m_queueDone < m_queue.size())
        return;
    const qint64 queued = m_device.outputQueued();
    if (queued > 0) {
        // The system still holds bytes: sleep for about as long as the line needs for them.
        const qint64 ms = queued * m_line.characterMicros() / 1000;
        m_drainTimer.start(static_cast<int>(std::clamp<qint64>(ms, 1, 1000)));
        return;
    }
    m_awaitingDrain = false;
    emit drained();
}

qint64 SerialOutput::carried() const
{
    // What the line could have carried at its nominal speed since the last write, on top of what
    // it had by then; it carries nothing while nothing waits for it.
    if (!m_since.isValid())
        return m_carried;
    const double seconds = double(m_since.nsecsElapsed()) / 1e9;
    return std::min(m_written, m_carried + qint64(m_line.charactersPerSecond() * seconds));
}

SerialOutput::Left SerialOutput::left() const
{
    if (!m_open)
        return {m_written, true};
    if (queueKnown())
        return {std::max<qint64>(0, m_written - m_device.outputQueued()), true};
    // The system cannot hold more than its limit, so a line that took more has proved faster.
    const qint64 bound = std::min(m_written, carried() + OutBufferSize());
    return {std::max(bound, m_written - unreportedQueueLimit), false};
}

bool SerialOutput::queueKnown() const
{
    return m_device.outputQueueKnown();
}

int SerialOutput::settleMs() const
{
    // Room for a 64-byte hardware FIFO, plus a little scheduling slack.
    return static_cast<int>(64 * m_line.characterMicros() / 1000 + 10);
}

void SerialOutput::discard()
{
    m_drainTimer.stop();
    m_awaitingDrain = false;
    // What the system still held never reaches the line once discarded: the account stops
    // where it stood.
    m_written = left().bytes;
    m_carried = std::min(m_carried, m_written);
    m_queue = QByteArray();
    m_queueDone = 0;
    m_device.watchWriting(false);
    m_device.discardOutput();
}
