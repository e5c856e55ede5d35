#include "transfer/filereceiver.h"

#include "platform/serialport.h"
#include "transfer/filetable.h"

#include <algorithm>
#include <climits>

FileReceiver::FileReceiver(SerialPort& port, FileTable& files, QObject* parent)
    : QObject(parent), m_port(port), m_files(files)
{
    connect(&m_port, &SerialPort::OnComm, this, &FileReceiver::MSComm1_OnComm);
}

void FileReceiver::begin(qint16 fileNumber, const QString& path)
{
    if (m_receiving && fileNumber != ReceiveFileNumber)
        closeFile();
    ReceiveFileNumber = fileNumber;
    m_path = path;
    m_receivedCount = 0;
    m_receiveBlock.clear();
    m_receiving = true;
}

void FileReceiver::MSComm1_OnComm()
{
    if (m_port.CommEvent() != SerialPort::comEvReceive)
        return;
    m_port.setRThreshold(blockSize);
    if (!m_receiving) {
        // Nobody asked for these bytes (a device echoing during a send, say).
        m_port.setInputLen(blockSize);
        m_port.discardInput();
        return;
    }
    // Every whole block that waits goes to the file in one write, as block-by-block handling
    // would store them one after another, but with one system call instead of one per block.
    // Fewer than a block are taken only as they are (the first notification may come early);
    // otherwise a tail shorter than a block waits for more, or for the stop.
    const qint64 waiting = m_port.InBufferCount();
    const qint64 take =
        waiting < blockSize ? waiting : std::min(waiting, maxBatch) / blockSize * blockSize;
    m_port.setInputLen(static_cast<int>(std::max<qint64>(take, 1)));
    QString error;
    if (!store(m_port.Input(), &error)) {
        closeFile();
        m_port.setPortOpen(false);
        emit failed(tr("Writing to \"%1\" failed: %2\nThe reception was stopped; %3 bytes were "
                       "saved.")
                        .arg(m_path, error)
                        .arg(m_receivedCount));
    }
}

bool FileReceiver::store(const QByteArray& bytes, QString* error)
{
    if (bytes.isEmpty())
        return true;
    qint64 written = 0;
    const bool ok = m_files.write(ReceiveFileNumber, bytes, error, &written);
    if (written > 0) {
        // The count says what reached the file; the block is the last block of it (a tail
        // shorter than a block at the end, so a large final collect stays cheap to show).
        m_receivedCount += written;
        const qint64 blockStart = written <= blockSize ? 0 : (written - 1) / blockSize * blockSize;
        m_receiveBlock = bytes.mid(blockStart, written - blockStart);
        emit stored(QByteArrayView(bytes.constData(), written));
        emit blockReceived();
    }
    return ok;
}

bool FileReceiver::finish(QString* error)
{
    if (!m_receiving)
        return true;
    m_port.fetchPending();
    QByteArray rest;
    if (m_port.PortOpen()) {
        const qint64 waiting = m_port.InBufferCount();
        if (waiting > 0) {
            m_port.setInputLen(static_cast<int>(std::min<qint64>(waiting, INT_MAX)));
            rest = m_port.Input();
        }
    } else {
        // The device went away while the last bytes were collected; they are kept all the same.
        rest = m_port.takeUnreadAfterLoss();
    }
    const bool ok = store(rest, error);
    closeFile();
    m_port.setPortOpen(false);
    return ok;
}

void FileReceiver::endAfterDeviceLoss(const QString& reason)
{
    if (!m_receiving)
        return;
    const QByteArray unread = m_port.takeUnreadAfterLoss();
    QString error;
    const bool ok = store(unread, &error);
    closeFile();
    QString text = tr("%1\nThe reception was stopped; %2 bytes were saved to \"%3\".")
                       .arg(reason)
                       .arg(m_receivedCount)
                       .arg(m_path);
    if (!ok)
        text += tr("\nThe last %1 bytes could not be written: %2").arg(unread.size()).arg(error);
    emit failed(text);
}

void FileReceiver::closeFile()
{
    m_files.close(ReceiveFileNumber);
    m_receiving = false;
}
