#include "transfer/filesender.h"

#include "platform/serialport.h"
#include "transfer/filetable.h"

#include <algorithm>

FileSender::FileSender(SerialPort& port, FileTable& files, QObject* parent)
    : QObject(parent), m_port(port), m_files(files)
{
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, [this] {
        m_running = false;
        emit finished();
    });
    connect(&m_port, &SerialPort::outputDrained, this, &FileSender::onDrained);
}

void FileSender::start(qint16 fileNumber, qint64 length)
{
    stop();
    m_fileNumber = fileNumber;
    m_length = std::max<qint64>(0, length);
    m_sent = 0;
    m_chunkSize = std::max(1, m_port.OutBufferSize());
    m_buffer.resize(static_cast<qsizetype>(std::min(m_chunkSize, std::max<qint64>(m_length, 1))));
    m_running = true;
    // The first chunk goes from the event loop, so the caller finishes its own work first.
    m_awaitingDrain = true;
    QMetaObject::invokeMethod(this, &FileSender::onDrained, Qt::QueuedConnection);
}

void FileSender::stop()
{
    m_running = false;
    m_awaitingDrain = false;
    m_settleTimer.stop();
    m_buffer = QByteArray();
}

void FileSender::onDrained()
{
    if (!m_running || !m_awaitingDrain)
        return;
    m_awaitingDrain = false;
    if (m_sent < m_length) {
        sendNextChunk();
    } else if (m_length == 0) {
        m_running = false;
        emit finished();
    } else {
        // The UART may still be shifting out its last bytes; closing now would cut them.
        m_settleTimer.start(m_port.transmitterSettleMs());
    }
}

void FileSender::sendNextChunk()
{
    const qint64 wanted = std::min(m_chunkSize, m_length - m_sent);
    QString error;
    const qint64 got = m_files.read(m_fileNumber, m_buffer.data(), wanted, &error);
    if (got < 0) {
        fail(tr("Reading the file failed after %1 bytes were sent: %2").arg(m_sent).arg(error));
        return;
    }
    if (got < wanted) {
        fail(tr("The file ended after %1 bytes, short of its length of %2 bytes; %3 bytes were "
                "sent.")
                 .arg(m_sent + got)
                 .arg(m_length)
                 .arg(m_sent));
        return;
    }
    // Only the bytes just read go out, never what an earlier chunk left in the buffer.
    m_awaitingDrain = true;
    if (!m_port.Output(QByteArray::fromRawData(m_buffer.constData(), got))) {
        fail(tr("The port stopped taking data after %1 bytes were sent.").arg(m_sent));
        return;
    }
    m_sent += got;
    emit chunkSent(QByteArrayView(m_buffer.constData(), got));
    emit progress(m_sent);
}

void FileSender::fail(const QString& reason)
{
    stop();
    emit failed(reason);
}
