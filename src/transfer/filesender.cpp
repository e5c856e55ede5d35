#include "transfer/filesender.h"

#include "platform/serialport.h"
#include "transfer/transfertext.h"

#include <algorithm>
#include <cmath>
#include <utility>

FileSender::FileSender(SerialPort& port, QObject* parent) : QObject(parent), m_port(port)
{
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, [this] { end(Ending::Finished); });
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
    m_nominalChunk = std::max(1, m_port.output().OutBufferSize());
    m_chunk = m_nominalChunk;
    m_recentBytes = m_recentSeconds = 0;
    m_leftAtChunk = 0;
    // Whatever the device sends meanwhile is nobody's (a device echoing, say).
    m_port.input().clearConsumer();
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
    if (m_handed > 0 && m_handed != length())
        adaptChunk();
    sendNextChunk();
}

void FileSender::followLine()
{
    if (m_state == State::Idle)
        return;
    const qint64 before = m_report.count();
    m_report.setCount(m_port.output().left().bytes);
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
    const qint64 wanted = length() < 0 ? m_chunk : std::min(m_chunk, length() - m_handed);
    const qint64 got = [&]() -> qint64 {
        if (wanted == 0)
            return 0;
        // The port shares the buffer until it drained; reading into it afterwards copies
        // nothing.
        m_buffer.resize(static_cast<qsizetype>(wanted));
        QString error;
        const qint64 read = m_source->read(m_buffer.data(), wanted, m_handed, &error);
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
            // The UART may still be shifting out its last bytes; closing now would cut them.
            m_state = State::Settling;
            m_settleTimer.start(m_handed == 0 ? 0 : m_port.output().settleMs());
        }
        return;
    }
    m_buffer.resize(static_cast<qsizetype>(got));
    m_chunkClock.start();
    m_handed += got;
    m_report.hash(m_buffer);
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
    }
    m_state = State::Idle;
    m_settleTimer.stop();
    m_progressTimer.stop();
    m_source.reset();
    m_port.setPortOpen(false);
    m_buffer = QByteArray();
    m_report.setCount(shown);
    m_report.end();
    emit progressed();
    emit ended(outcome);
}
