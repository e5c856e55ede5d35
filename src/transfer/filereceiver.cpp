#include "transfer/filereceiver.h"

#include "platform/serialport.h"

#include <algorithm>

FileReceiver::FileReceiver(SerialPort& port, QObject* parent) : QObject(parent), m_port(port)
{
    connect(&m_port, &SerialPort::OnComm, this, &FileReceiver::onComm);
    connect(&m_port, &SerialPort::deviceLost, this, &FileReceiver::onDeviceLost);
}

FileReceiver::~FileReceiver()
{
    // What was stored stays; the file is closed with it.
    if (isReceiving())
        m_port.setPortOpen(false);
}

bool FileReceiver::start(std::unique_ptr<ReceiveTarget> target, QString* error, Claim claim)
{
    const bool handingOver = isReceiving() && m_port.PortOpen();
    if (!handingOver && !m_port.setPortOpen(true, error)) {
        target->giveBack();
        return false;
    }
    // The old content goes only now that the reception can really start.
    if (claim == Claim::AtStart && !target->claim(error)) {
        target->giveBack();
        if (!handingOver)
            m_port.setPortOpen(false);
        return false;
    }
    if (handingOver)
        closeTarget();
    m_target = std::move(target);
    m_name = m_target->displayName();
    m_claimed = claim == Claim::AtStart;
    // Queued: either may come while the target's own signal is still being delivered, and
    // either may end the reception, which deletes the target.
    const ReceiveTarget* current = m_target.get();
    connect(
        current, &ReceiveTarget::tookMore, this,
        [this, current] {
            if (m_target.get() == current)
                takeFromPort();
        },
        Qt::QueuedConnection);
    connect(
        current, &ReceiveTarget::broken, this,
        [this, current](const QString& why) {
            if (m_target.get() == current)
                stopOnWriteFailure(why);
        },
        Qt::QueuedConnection);
    m_receivedCount = 0;
    m_lastBlock.clear();
    m_port.setRThreshold(blockSize);
    m_port.setReceiveTimeout(tailWaitMs);
    return true;
}

void FileReceiver::onComm()
{
    // Bytes that come while no reception runs (during a send) are the sender's to throw away.
    if (isReceiving())
        takeFromPort();
}

void FileReceiver::takeFromPort()
{
    // A fast line is written in large batches that end on a 256 KiB boundary of the file: few
    // writes, each of whole pages (writes of a few KiB, or ending inside a page, cost the system
    // far more; measured here, they halved the pace of a fast reception).
    // What has waited long enough goes whatever its size (a slow line, the end of a transfer).
    const QByteArrayView waiting = m_port.waitingInput();
    const bool aged = m_port.inputAgeMs() >= tailWaitMs;
    const qint64 upTo = std::min<qint64>(waiting.size(), maxBatch);
    qint64 take = (m_receivedCount + upTo) / writeBatch * writeBatch - m_receivedCount;
    if (aged && waiting.size() <= maxBatch)
        take = waiting.size();
    if (take <= 0)
        return;
    // What finds no room waits in the port until the target's `tookMore`.
    const qint64 room = m_target->room();
    if (take > room) {
        take = room / blockSize * blockSize;
        if (take == 0)
            return;
    }
    // Written straight from the port's buffer, then taken from it.
    QString error;
    const bool written = store(waiting.first(take), &error);
    m_port.dropInput(take);
    if (!written)
        stopOnWriteFailure(error);
}

void FileReceiver::stopOnWriteFailure(const QString& why)
{
    const qint64 saved = savedCount();
    closeTarget();
    m_port.setPortOpen(false);
    emit failed(tr("Writing to %1 failed: %2\nThe reception was stopped; %3 bytes were saved.")
                    .arg(m_name, why)
                    .arg(saved));
}

bool FileReceiver::store(QByteArrayView bytes, QString* error)
{
    if (bytes.isEmpty())
        return true;
    // A reception that may still give its target back empties it only now.
    if (!m_claimed) {
        if (!m_target->claim(error))
            return false;
        m_claimed = true;
    }
    qint64 written = 0;
    const bool ok = m_target->write(bytes, &written, error);
    if (written > 0) {
        // The count says what reached the file; the block is the last 512 bytes of it, which a
        // tail written on its own may have split.
        m_receivedCount += written;
        const QByteArrayView reached = bytes.first(written);
        if (written >= blockSize)
            m_lastBlock = reached.last(blockSize).toByteArray();
        else
            m_lastBlock = (m_lastBlock + reached.toByteArray()).right(blockSize);
        emit stored(reached);
    }
    return ok;
}

bool FileReceiver::finish(QString* error)
{
    if (!isReceiving())
        return true;
    m_port.fetchPending();
    // Written straight from the port's buffer; the close empties it. When the device went away
    // while the last bytes were collected, they are kept all the same.
    const QByteArray lost = m_port.PortOpen() ? QByteArray() : m_port.takeUnreadAfterLoss();
    const QByteArrayView rest = m_port.PortOpen() ? m_port.waitingInput() : QByteArrayView(lost);
    QString why;
    // Nothing came: the target is emptied all the same, as the reception's end says it holds.
    const bool written = (rest.isEmpty() && !m_claimed) ? m_target->claim(&why) : store(rest, &why);
    const qint64 saved = savedCount();
    const bool linked = closeTarget();
    m_port.setPortOpen(false);
    if (!written) {
        *error = tr("Writing the last bytes to %1 failed: %2\n%3 bytes were saved.")
                     .arg(m_name, why)
                     .arg(saved);
    } else if (!linked) {
        *error = lostFileMessage();
    }
    return written && linked;
}

bool FileReceiver::giveBack()
{
    if (!isReceiving() || m_claimed)
        return false;
    m_port.fetchPending();
    // Bytes waiting, or a device lost while they were collected (its loss stores them).
    if (m_port.InBufferCount() != 0)
        return false;
    m_target->giveBack();
    closeTarget();
    m_port.setPortOpen(false);
    return true;
}

void FileReceiver::onDeviceLost(const QString& reason)
{
    if (!isReceiving())
        return;
    const QByteArray unread = m_port.takeUnreadAfterLoss();
    // Nothing came at all: a target not claimed yet stays as it was found.
    const bool givenBack = unread.isEmpty() && !m_claimed;
    if (givenBack)
        m_target->giveBack();
    QString error;
    const bool written = store(unread, &error);
    const qint64 saved = savedCount();
    const bool linked = closeTarget();
    QString text = tr("%1\nThe reception was stopped; %2 bytes were saved to %3.")
                       .arg(reason)
                       .arg(saved)
                       .arg(m_name);
    if (!written)
        text += tr("\nThe last %1 bytes could not be written: %2").arg(unread.size()).arg(error);
    if (!linked && !givenBack)
        text += QLatin1Char('\n') + lostFileMessage();
    emit failed(text);
}

bool FileReceiver::closeTarget()
{
    const bool linked = m_target->isLinked();
    m_target.reset();
    m_port.setReceiveTimeout(0);
    return linked;
}

qint64 FileReceiver::savedCount() const
{
    return m_receivedCount - m_target->backlog();
}

QString FileReceiver::lostFileMessage() const
{
    return tr("%1 was deleted during the reception: the %2 bytes received went with it.")
        .arg(m_name)
        .arg(m_receivedCount);
}
