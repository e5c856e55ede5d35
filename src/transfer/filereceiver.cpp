#include "transfer/filereceiver.h"

#include "platform/serialport.h"
#include "platform/serialportlist.h"
#include "transfer/transfertext.h"

#include <algorithm>
#include <utility>

FileReceiver::FileReceiver(SerialPort& port, QObject* parent) : QObject(parent), m_port(port)
{
    connect(&m_port, &SerialPort::deviceLost, this, &FileReceiver::onDeviceLost);
    connect(&m_watch, &DeviceWatch::present, this, &FileReceiver::onDevicePresent);
}

void FileReceiver::onDeviceLost(const QString& reason)
{
    if (!isReceiving())
        return;
    if (!m_reconnect) {
        end(Ending::DeviceLost, reason);
        return;
    }
    // What had arrived was offered to the file before the port closed.
    m_away = true;
    ++m_gaps;
    m_gapClock.start();
    m_watch.watch(m_deviceNames);
    emit deviceAway(reason);
}

void FileReceiver::onDevicePresent(const QString& path)
{
    if (!m_away)
        return;
    // A device just back may not let this user in yet; the next look tries again.
    QString ignored;
    if (!m_port.openAt(path, &ignored))
        return;
    m_watch.stop();
    m_away = false;
    const qint64 gap = m_gapClock.elapsed();
    m_gapMs += gap;
    listen();
    emit deviceBack(gap);
}

void FileReceiver::listen()
{
    m_port.input().setConsumer(
        [this](QByteArrayView bytes, bool final) { return take(bytes, final); },
        {writeBatch, tailWaitMs});
}

FileReceiver::~FileReceiver()
{
    if (isReceiving()) {
        // What arrived is stored and the file closed; nobody is left to hear of it.
        blockSignals(true);
        stop();
    }
}

bool FileReceiver::start(std::unique_ptr<ReceiveTarget> target, QString* error, Claim claim,
                         std::optional<qint64> limit)
{
    // The reception running keeps the port: it ends with every byte that arrived in its file,
    // and the new one goes on from there.
    const bool handingOver = isReceiving() && m_port.PortOpen();
    if (isReceiving())
        end(handingOver ? Ending::HandedOver : Ending::Stopped);
    if (!handingOver && !m_port.setPortOpen(true, error)) {
        target->giveBack();
        return false;
    }
    // The old content goes only now that the reception can really start.
    if (claim == Claim::AtStart && !target->claim(error)) {
        target->giveBack();
        m_port.setPortOpen(false);
        return false;
    }
    m_target = std::move(target);
    m_name = m_target->displayName();
    m_claimed = claim == Claim::AtStart;
    m_limit = limit;
    m_written = m_notKept = 0;
    m_limitEndQueued = false;
    m_lastWriteFailure.clear();
    m_lastBlock.clear();
    m_state = State::Waiting;
    // Queued: either may come while the target's own signal is still being delivered, and
    // either may end the reception, which deletes the target.
    const ReceiveTarget* current = m_target.get();
    connect(
        current, &ReceiveTarget::tookMore, this,
        [this, current] {
            if (m_target.get() == current)
                m_port.input().offer();
        },
        Qt::QueuedConnection);
    connect(
        current, &ReceiveTarget::broken, this,
        [this, current](const QString& why) {
            if (m_target.get() == current)
                end(Ending::WriteFailed, why);
        },
        Qt::QueuedConnection);
    m_report.begin(TransferReport::Direction::Receive, -1);
    m_away = false;
    m_gaps = 0;
    m_gapMs = 0;
    m_deviceNames = QStringList{m_port.device(), SerialPortList::stablePathOf(m_port.device())};
    listen();
    return true;
}

qint64 FileReceiver::take(QByteArrayView bytes, bool final)
{
    if (!isReceiving())
        return bytes.size();
    // What finds no room waits in the port until the target's `tookMore`; what goes with the
    // port is written all the same.
    qint64 count = bytes.size();
    if (!final) {
        const qint64 room = m_target->room();
        if (count > room)
            count = room / blockSize * blockSize;
        // The line's bytes waiting for room count for the limit all the same: a reader that
        // stalled must not hold the reception past it.
        if (count < bytes.size() && m_limit && m_written + m_port.input().waiting() >= *m_limit)
            endAtLimit();
    }
    if (count == 0)
        return 0;
    QString error;
    if (!store(bytes.first(count), &error)) {
        // An end under way, or the loss that closes the port, reports it.
        if (m_ending || !m_port.PortOpen())
            m_lastWriteFailure = error;
        else
            end(Ending::WriteFailed, error);
    }
    return count;
}

bool FileReceiver::store(QByteArrayView bytes, QString* error)
{
    if (bytes.isEmpty())
        return true;
    // A reception that may still leave its target as it was found empties it only now.
    if (!m_claimed) {
        if (!m_target->claim(error))
            return false;
        m_claimed = true;
    }
    m_state = State::Receiving;
    const qint64 keep =
        m_limit ? std::clamp<qint64>(*m_limit - m_written, 0, bytes.size()) : bytes.size();
    // Past the limit the bytes are taken off the line all the same, and counted as not kept.
    m_notKept += bytes.size() - keep;
    if (m_limit && m_written + keep >= *m_limit)
        endAtLimit();
    if (keep == 0)
        return true;
    qint64 written = 0;
    const bool ok = m_target->write(bytes.first(keep), &written, error);
    if (written > 0) {
        // The block is the last 512 bytes of the file, which a tail written on its own may have
        // split.
        m_written += written;
        const QByteArrayView reached = bytes.first(written);
        if (written >= blockSize)
            m_lastBlock = reached.last(blockSize).toByteArray();
        else
            m_lastBlock = (m_lastBlock + reached.toByteArray()).right(blockSize);
        m_report.hash(reached);
        m_report.setCount(m_written);
        emit stored(reached);
    }
    return ok;
}

void FileReceiver::endAtLimit()
{
    // Not from inside the port's offer: the end closes what the offer works with.
    if (m_limitEndQueued)
        return;
    m_limitEndQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_limitEndQueued && isReceiving())
                end(Ending::LimitReached);
        },
        Qt::QueuedConnection);
}

void FileReceiver::stop()
{
    if (isReceiving())
        end(Ending::Stopped);
}

bool FileReceiver::giveBack()
{
    if (m_state != State::Waiting || m_claimed)
        return false;
    // Bytes that arrived a moment ago and still wait in the port count as a first byte.
    m_port.input().collect();
    if (m_state != State::Waiting)
        return false;
    end(Ending::GivenBack);
    return true;
}

void FileReceiver::end(Ending ending, const QString& why)
{
    if (!isReceiving())
        return;
    // What still waits in the port goes to the file first, unless the file takes no more (or
    // the loss of the device already offered it).
    m_ending = true;
    if (ending != Ending::WriteFailed && ending != Ending::DeviceLost && m_port.PortOpen())
        m_port.input().collect();
    m_port.input().clearConsumer();
    m_ending = false;
    const QString failure =
        why.isEmpty() && ending != Ending::DeviceLost ? m_lastWriteFailure : why;
    m_watch.stop();
    if (std::exchange(m_away, false))
        m_gapMs += m_gapClock.elapsed();
    Outcome outcome{ending, 0, m_notKept, false, {}, m_gaps, m_gapMs};
    // Nothing came at all: a target not claimed yet stays as it was found.
    if (!m_claimed) {
        m_target->giveBack();
        outcome.leftAsFound = true;
    }
    outcome.saved = savedCount();
    const bool linked = outcome.leftAsFound || m_target->isLinked();
    outcome.message = failureMessage(ending, failure, linked);
    m_state = State::Idle;
    m_limitEndQueued = false;
    m_target.reset();
    if (ending != Ending::HandedOver)
        m_port.setPortOpen(false);
    m_report.end();
    emit ended(outcome);
}

QString FileReceiver::failureMessage(Ending ending, const QString& why, bool linked) const
{
    const qint64 saved = savedCount();
    QString text;
    if (ending == Ending::WriteFailed) {
        text = TransferText::receiveWriteFailed(m_name, why, saved);
    } else if (ending == Ending::DeviceLost) {
        text = TransferText::receiveLost(why, saved, m_name);
        if (!m_lastWriteFailure.isEmpty())
            text += QLatin1Char('\n') + TransferText::lastBytesNotWritten(m_lastWriteFailure);
    } else if (!why.isEmpty()) {
        text = TransferText::lastBytesWriteFailed(m_name, why, saved);
    }
    if (!linked) {
        const QString lost = TransferText::receivedFileDeleted(m_name, m_written);
        text = text.isEmpty() ? lost : text + QLatin1Char('\n') + lost;
    }
    return text;
}

qint64 FileReceiver::savedCount() const
{
    return m_written - (m_target ? m_target->backlog() : 0);
}
