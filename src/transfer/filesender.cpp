#include "transfer/filesender.h"

#include "platform/serialport.h"

#include <algorithm>
#include <cmath>

FileSender::FileSender(SerialPort& port, QObject* parent) : QObject(parent), m_port(port)
{
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, [this] {
        close();
        emit finished();
    });
    connect(&m_port, &SerialPort::outputDrained, this, &FileSender::onDrained);
    connect(&m_port, &SerialPort::deviceLost, this, &FileSender::onDeviceLost);
    connect(&m_port, &SerialPort::OnComm, this, [this] {
        if (m_running)
            m_port.discardInput(); // nobody asked for these (a device echoing, say)
    });
}

FileSender::~FileSender()
{
    if (m_running)
        cancel();
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
        if (m_running && m_awaitingSource)
            sendNextChunk();
    });
    m_sourceName = m_source->displayName();
    m_length = m_source->length();
    m_sent = 0;
    m_nominalChunk = std::max(1, m_port.OutBufferSize());
    m_chunk = m_nominalChunk;
    m_recentBytes = m_recentSeconds = 0;
    m_running = true;
    // The first chunk goes from the event loop, so the caller finishes its own work first.
    m_awaitingDrain = true;
    QMetaObject::invokeMethod(this, &FileSender::onDrained, Qt::QueuedConnection);
    return Start::Started;
}

FileSender::Sent FileSender::cancel()
{
    if (!m_running)
        return {m_sent, true};
    // What was handed over but still waits never reaches the line once discarded.
    const Sent sent{m_sent - std::max<qint64>(0, m_port.OutBufferCount()),
                    m_port.outputCountKnown()};
    m_port.discardOutput();
    close();
    return sent;
}

void FileSender::onDrained()
{
    if (!m_running || !m_awaitingDrain)
        return;
    m_awaitingDrain = false;
    if (m_sent > 0 && m_sent != length())
        adaptChunk(m_buffer.size());
    sendNextChunk();
}

void FileSender::endWhenSilent()
{
    if (m_sent == 0) {
        close();
        emit finished();
    } else {
        // The UART may still be shifting out its last bytes; closing now would cut them.
        m_settleTimer.start(m_port.transmitterSettleMs());
    }
}

void FileSender::adaptChunk(qint64 handed)
{
    // The rate the line really takes, over about the last half second: the system's queue
    // takes a chunk at once now and then (it had room), and one quick chunk must not count
    // for a fast line.
    const double seconds = std::max<qint64>(1, m_chunkClock.nsecsElapsed()) / 1e9;
    const double keep = std::exp(-seconds / 0.5);
    m_recentBytes = m_recentBytes * keep + double(handed);
    m_recentSeconds = m_recentSeconds * keep + seconds;
    if (handed < m_chunk)
        return;
    // What the line takes in a quarter second, at most twice the last chunk at a time, and never
    // below what the nominal speed asks for (a line that drains as nominal stays there).
    const double quarterSecond = m_recentBytes / m_recentSeconds / 4;
    const qint64 wanted = qint64(std::min(quarterSecond, double(2 * m_chunk)));
    m_chunk = std::clamp(wanted, m_nominalChunk, maxChunk);
}

void FileSender::sendNextChunk()
{
    m_awaitingSource = false;
    const qint64 wanted = length() < 0 ? m_chunk : std::min(m_chunk, length() - m_sent);
    if (wanted == 0) {
        endWhenSilent();
        return;
    }
    // The port shares the buffer until it drained; reading into it afterwards copies nothing.
    m_buffer.resize(static_cast<qsizetype>(wanted));
    QString error;
    const qint64 got = m_source->read(m_buffer.data(), wanted, m_sent, &error);
    if (got < 0) {
        fail(error);
        return;
    }
    if (got == 0) {
        // A stream: nothing to read yet, or its end.
        m_awaitingSource = !m_source->atEnd();
        if (!m_awaitingSource)
            endWhenSilent();
        return;
    }
    m_buffer.resize(static_cast<qsizetype>(got));
    m_awaitingDrain = true;
    m_chunkClock.start();
    // Counted first: a device that goes away during the write may have taken part of it, and
    // its loss reports "at most" this.
    m_sent += got;
    if (!m_port.Output(m_buffer))
        return;
    emit progress(m_sent, QByteArrayView(m_buffer));
}

void FileSender::onDeviceLost(const QString& reason)
{
    if (!m_running)
        return;
    fail(length() < 0
             ? tr("%1\nThe send was stopped after at most %2 bytes.").arg(reason).arg(m_sent)
             : tr("%1\nThe send was stopped after at most %2 of %3 bytes.")
                   .arg(reason)
                   .arg(m_sent)
                   .arg(length()));
}

void FileSender::fail(const QString& message)
{
    // What was read before the failure and already handed over still goes out, as the count
    // in the message says.
    close();
    emit failed(message);
}

void FileSender::close()
{
    m_running = false;
    m_awaitingDrain = false;
    m_awaitingSource = false;
    m_settleTimer.stop();
    m_source.reset();
    m_port.setPortOpen(false);
    m_buffer = QByteArray();
}
