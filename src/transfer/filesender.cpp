#include "transfer/filesender.h"

#include "platform/serialport.h"
#include "transfer/transfertext.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

FileSender::FileSender(SerialPort& port, QObject* parent) : QObject(parent), m_port(port)
{
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, [this] { end(Ending::Finished); });
    m_pauseTimer.setSingleShot(true);
    m_pauseTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pauseTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::Pausing)
            sendNextChunk();
    });
    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::AwaitingText)
            end(Ending::NoAnswer);
    });
    m_progressTimer.setInterval(progressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &FileSender::followLine);
    connect(&m_port.output(), &SerialOutput::drained, this, &FileSender::onDrained);
    connect(&m_port, &SerialPort::deviceLost, this, [this](const QString& reason) {
        if (isRunning())
            end(Ending::DeviceLost, reason);
    });
}

FileSender::~FileSender()
{
    if (isRunning()) {
        // Nobody is left to hear of it.
        blockSignals(true);
        cancel();
    }
}

FileSender::Start FileSender::start(const QString& path, QString* error)
{
    // A port in use refuses whatever the file, so that a transfer running keeps its own. A free
    // port waits for the file: a file that cannot be sent needs no port to say so.
    if (m_port.PortOpen() && !m_port.setPortOpen(true, error))
        return Start::PortRefused;
    auto source = std::make_unique<SendSource>();
    if (!source->open(path, error))
        return Start::FileRefused;
    return start(std::move(source), error);
}

FileSender::Start FileSender::start(std::unique_ptr<SendSource> source, QString* error)
{
    // A send already running keeps its own: the port refuses a second one.
    if (!m_port.setPortOpen(true, error))
        return Start::PortRefused;
    m_source = std::move(source);
    connect(m_source.get(), &SendSource::readable, this, [this] {
        if (m_state == State::AwaitingSource)
            sendNextChunk();
    });
    m_sourceName = m_source->displayName();
    m_length = m_source->length();
    m_handed = 0;
    m_read = 0;
    m_ahead = QByteArray();
    m_aheadDone = 0;
    m_linesHanded = 0;
    m_textHeard = false;
    m_heard = QByteArray();
    m_waitedMs = 0;
    m_flowWarned = false;
    m_nominalChunk = std::max(1, m_port.output().OutBufferSize());
    m_chunk = m_nominalChunk;
    m_recentBytes = m_recentSeconds = 0;
    m_leftAtChunk = 0;
    // Whatever the device sends meanwhile is nobody's (a device echoing, say), but for the text
    // a paced send waits for.
    if (m_pacing.waitFor.isEmpty()) {
        m_port.input().clearConsumer();
    } else {
        m_port.input().setConsumer(
            [this](QByteArrayView bytes, bool) {
                hear(bytes);
                return qint64(bytes.size());
            },
            {});
    }
    m_report.begin(TransferReport::Direction::Send, m_length);
    m_progressTimer.start();
    // The first chunk goes from the event loop, so the caller finishes its own work first.
    m_state = State::Sending;
    QMetaObject::invokeMethod(this, &FileSender::onDrained, Qt::QueuedConnection);
    return Start::Started;
}

void FileSender::cancel(const QString& why)
{
    if (isRunning())
        end(Ending::Cancelled, why);
}

void FileSender::onDrained()
{
    if (m_state != State::Sending)
        return;
    if (m_pacing.isPaced() && m_handed > 0) {
        pauseAfterPiece();
        return;
    }
    if (m_handed > 0 && m_handed != length())
        adaptChunk();
    sendNextChunk();
}

QByteArray FileSender::nextPiece()
{
    const QByteArrayView rest = QByteArrayView(m_ahead).sliced(m_aheadDone);
    qsizetype size = rest.size();
    if (m_pacing.charDelayMs > 0) {
        size = 1;
    } else if (const qsizetype lineEnd = rest.indexOf('\n'); lineEnd >= 0) {
        size = lineEnd + 1;
    }
    QByteArray piece = rest.first(size).toByteArray();
    m_aheadDone += size;
    if (m_aheadDone == m_ahead.size()) {
        m_ahead = QByteArray();
        m_aheadDone = 0;
    }
    if (piece.endsWith('\n')) {
        // The device's answer to this line is what counts, not one to an earlier line.
        ++m_linesHanded;
        m_textHeard = false;
        m_heard.clear();
    }
    return piece;
}

void FileSender::pauseAfterPiece()
{
    const bool lineEnd = m_buffer.endsWith('\n');
    if (lineEnd && !m_pacing.waitFor.isEmpty() && !m_textHeard) {
        m_state = State::AwaitingText;
        m_waitClock.start();
        m_waitTimer.start(int(std::min<qint64>(m_pacing.waitTimeoutMs, INT_MAX)));
        return;
    }
    // Nothing is gained by pausing after the last byte.
    const bool more = length() < 0 || m_handed < length();
    const qint64 delay = more ? m_pacing.charDelayMs + (lineEnd ? m_pacing.lineDelayMs : 0) : 0;
    m_state = State::Pausing;
    m_pauseTimer.start(int(std::min<qint64>(delay, INT_MAX)));
}

void FileSender::hear(QByteArrayView bytes)
{
    m_heard += bytes;
    if (m_heard.contains(m_pacing.waitFor)) {
        m_textHeard = true;
        m_heard.clear();
    } else {
        // Only the start of the text can still be completed by what comes next.
        m_heard = m_heard.last(std::min(m_heard.size(), m_pacing.waitFor.size() - 1));
    }
    if (m_textHeard && m_state == State::AwaitingText) {
        m_waitTimer.stop();
        m_waitedMs += m_waitClock.elapsed();
        pauseAfterPiece();
    }
}

std::optional<qint64> FileSender::pacedMsLeft() const
{
    if (!m_pacing.isPaced() || length() < 0)
        return std::nullopt;
    const qint64 notLeft = length() - m_report.count();
    const qint64 notHanded = length() - m_handed;
    // The lines still ahead, as often as lines came so far.
    const qint64 lines =
        m_handed > 0 ? std::llround(double(m_linesHanded) * double(notHanded) / double(m_handed))
                     : 0;
    const qint64 waitMs = m_linesHanded > 0 ? m_waitedMs / m_linesHanded : 0;
    const qint64 pausing = m_pauseTimer.isActive() ? m_pauseTimer.remainingTime() : 0;
    return notLeft * m_port.line().characterMicros() / 1000 + notHanded * m_pacing.charDelayMs +
           lines * (m_pacing.lineDelayMs + waitMs) + pausing;
}

void FileSender::followLine()
{
    if (m_state == State::Idle)
        return;
    const qint64 before = m_report.count();
    m_report.setCount(m_port.output().left().bytes);
    m_report.setTimeLeftHint(pacedMsLeft());
    if (m_report.count() != before)
        emit progressed();
}

void FileSender::adaptChunk()
{
    // The rate the line really takes, as the output tells what left it, over about the last half
    // second: the system's queue takes a chunk at once now and then (it had room), and that must
    // not count for a fast line.
    const qint64 left = m_port.output().left().bytes;
    const double seconds = std::max<qint64>(1, m_chunkClock.nsecsElapsed()) / 1e9;
    const double keep = std::exp(-seconds / 0.5);
    m_recentBytes = m_recentBytes * keep + double(left - std::exchange(m_leftAtChunk, left));
    m_recentSeconds = m_recentSeconds * keep + seconds;
    if (m_buffer.size() < m_chunk)
        return;
    // What the line takes in a quarter second, at most twice the last chunk at a time, and never
    // below what the nominal speed asks for (a line that drains as nominal stays there).
    const double quarterSecond = m_recentBytes / m_recentSeconds / 4;
    const qint64 wanted = qint64(std::min(quarterSecond, double(2 * m_chunk)));
    m_chunk = std::clamp(wanted, m_nominalChunk, maxChunk);
}

void FileSender::sendNextChunk()
{
    m_state = State::Sending;
    const bool paced = m_pacing.isPaced();
    if (!paced || m_ahead.isEmpty()) {
        const qint64 wanted = length() < 0 ? m_chunk : std::min(m_chunk, length() - m_read);
        const qint64 got = [&]() -> qint64 {
            if (wanted == 0)
                return 0;
            // The port shares the buffer until it drained; reading into it afterwards copies
            // nothing.
            m_buffer.resize(static_cast<qsizetype>(wanted));
            QString error;
            const qint64 read = m_source->read(m_buffer.data(), wanted, m_read, &error);
            if (read < 0)
                end(Ending::SourceFailed, error);
            return read;
        }();
        if (got < 0)
            return;
        if (got == 0) {
            // The end of the file, or a stream with nothing to read yet.
            if (wanted > 0 && !m_source->atEnd()) {
                m_state = State::AwaitingSource;
            } else {
                // The UART may still be shifting out its last bytes; closing now would cut
                // them.
                m_state = State::Settling;
                m_settleTimer.start(m_handed == 0 ? 0 : m_port.output().settleMs());
            }
            return;
        }
        m_buffer.resize(static_cast<qsizetype>(got));
        m_read += got;
        if (paced)
            m_ahead = std::exchange(m_buffer, QByteArray());
    }
    if (paced)
        m_buffer = nextPiece();
    m_chunkClock.start();
    m_handed += m_buffer.size();
    m_report.hash(m_buffer);
    if (!m_flowWarned && m_port.flowControl() == LineSettings::Flow::XonXoff &&
        (m_buffer.contains(LineSettings::xon) || m_buffer.contains(LineSettings::xoff))) {
        m_flowWarned = true;
        emit warned(TransferText::flowBytesInData(m_sourceName));
    }
    emit handed(QByteArrayView(m_buffer));
    // A device lost during the write ends the send from the event loop.
    m_port.output().write(m_buffer);
}

void FileSender::end(Ending ending, const QString& why)
{
    if (m_state == State::Idle)
        return;
    Outcome outcome{ending, m_handed, true, {}};
    // The count shown: what the output tells has left the line, all of it once finished.
    qint64 shown = m_report.count();
    switch (ending) {
    case Ending::Finished:
        shown = m_handed;
        break;
    case Ending::Cancelled: {
        // What was handed over but still waits never reaches the line once discarded.
        const SerialOutput::Left left = m_port.output().left();
        outcome.exact = left.exact;
        outcome.bytes = left.exact ? left.bytes : m_handed;
        shown = left.bytes;
        m_port.output().discard();
        outcome.message = TransferText::sendCancelled(outcome.bytes, m_length, outcome.exact, why,
                                                      m_port.describe());
        break;
    }
    case Ending::SourceFailed:
        // What was read before the failure and already handed over still goes out, as the
        // count in the message says.
        shown = m_handed;
        outcome.message = why;
        break;
    case Ending::DeviceLost:
        outcome.exact = false;
        outcome.message = TransferText::sendLost(why, m_handed, m_length);
        break;
    case Ending::NoAnswer:
        // Every byte handed over had drained before the wait began.
        shown = m_handed;
        outcome.message =
            TransferText::noAnswer(m_pacing.waitFor, m_pacing.waitTimeoutMs, m_port.describe(),
                                   m_linesHanded, m_handed, m_length);
        break;
    }
    m_state = State::Idle;
    // The port outlives this send: nothing of it may be left listening there.
    if (!m_pacing.waitFor.isEmpty())
        m_port.input().clearConsumer();
    m_settleTimer.stop();
    m_pauseTimer.stop();
    m_waitTimer.stop();
    m_ahead = QByteArray();
    m_aheadDone = 0;
    m_progressTimer.stop();
    m_source.reset();
    m_port.setPortOpen(false);
    m_buffer = QByteArray();
    m_report.setCount(shown);
    m_report.end();
    emit progressed();
    emit ended(outcome);
}
