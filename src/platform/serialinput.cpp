#include "platform/serialinput.h"

#include "platform/serialdevice.h"

#include <algorithm>
#include <cstring>

namespace {

// What one look at the device reads at a time, and at most per wake-up: a fast source is read in
// large pieces, and the event loop still gets its turn between them.
constexpr std::size_t readPiece = 64 * 1024;
constexpr qint64 readBudget = 256 * 1024;
// A read at least this large found the system's buffer full or nearly so.
constexpr qint64 fullRead = 2048;

} // namespace

SerialInput::SerialInput(SerialDevice& device, QObject* parent) : QObject(parent), m_device(device)
{
    m_tailTimer.setSingleShot(true);
    m_tailTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_tailTimer, &QTimer::timeout, this, [this] { offerDue(false); });
    connect(&m_device, &SerialDevice::readable, this, &SerialInput::readArrived);
}

void SerialInput::setConsumer(Consumer consumer, Rule rule)
{
    m_consumer = std::move(consumer);
    m_rule = rule;
    m_starved = false;
    m_taken = 0;
    m_tailTimer.stop();
    armTailTimer();
}

void SerialInput::clearConsumer()
{
    m_consumer = nullptr;
    m_tailTimer.stop();
    // Nobody asked for what waits (a device echoing a send, say).
    clear();
    if (m_open)
        m_device.watchReading(true);
}

void SerialInput::opened()
{
    m_open = true;
    clear();
    m_device.watchReading(true);
}

void SerialInput::closing()
{
    if (m_open && waiting() > 0)
        offerDue(true);
}

void SerialInput::closed()
{
    m_open = false;
    m_tailTimer.stop();
    clear();
}

void SerialInput::offer()
{
    m_starved = false;
    offerDue(false);
}

void SerialInput::collect()
{
    // Bounded: a line that never pauses must not hold the caller forever. It reads past the
    // limit on waiting bytes: whoever collects is about to stop reading.
    for (qint64 total = 0; m_open && total < readBudget;) {
        const qint64 got = readOnce();
        if (got <= 0)
            break;
        total += got;
    }
    offerDue(true);
}

void SerialInput::readArrived()
{
    // A fast source fills the system's receive buffer (4 KiB) faster than we take it: after the
    // consumer had its turn, it has refilled meanwhile, and reading again saves a wait for the
    // next wake-up. A slow line brings a few bytes at a time and is read once a wake-up.
    for (qint64 total = 0; m_open && total < readBudget;) {
        if (waiting() >= limit) {
            m_device.watchReading(false); // taking makes room again
            break;
        }
        const qint64 got = readOnce();
        if (got <= 0)
            break;
        total += got;
        if (!m_consumer) {
            clear();
        } else {
            offerDue(false);
        }
        if (got < fullRead)
            break;
    }
}

qint64 SerialInput::readOnce()
{
    // While the consumer runs, it holds a view of the buffer: what arrives meanwhile waits aside.
    std::vector<char>& into = m_offering ? m_aside : m_bytes;
    std::size_t& end = m_offering ? m_asideEnd : m_end;
    // drop() empties the buffer whenever it takes the last byte, so leftovers sit at `m_begin`.
    if (!m_offering && m_begin > 0 && m_bytes.size() - m_end < readPiece) {
        std::memmove(m_bytes.data(), m_bytes.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (into.size() - end < readPiece)
        into.resize(end + readPiece);
    QString why;
    const qint64 got = m_device.read(into.data() + end, readPiece, &why);
    if (got < 0) {
        emit failed(why);
        return -1;
    }
    if (got > 0 && waiting() == 0)
        m_since.start();
    end += static_cast<std::size_t>(got);
    return got;
}

void SerialInput::takeAside()
{
    if (m_asideEnd == 0)
        return;
    if (m_bytes.size() - m_end < m_asideEnd)
        m_bytes.resize(m_end + m_asideEnd);
    std::memcpy(m_bytes.data() + m_end, m_aside.data(), m_asideEnd);
    m_end += m_asideEnd;
    m_asideEnd = 0;
}

qint64 SerialInput::due(bool aged) const
{
    // Only what sits in the buffer itself: bytes set aside join it after the offer.
    const qint64 upTo = std::min(qint64(m_end - m_begin), maxOffer);
    if (aged || m_rule.batch <= 0)
        return upTo;
    return (m_taken + upTo) / m_rule.batch * m_rule.batch - m_taken;
}

void SerialInput::offerDue(bool all)
{
    if (!m_consumer || !m_open)
        return;
    if (m_offering) {
        m_offerOwed = true;
        return;
    }
    m_offerOwed = false;
    // A tail timer may come a moment early; its end is the tail's time all the same.
    const bool aged =
        all || (m_rule.tailMs > 0 && waiting() > 0 && m_since.elapsed() >= m_rule.tailMs - 1);
    for (;;) {
        const qint64 offered = due(aged);
        if (offered <= 0)
            break;
        const quint64 generation = m_generation;
        m_offering = true;
        const qint64 took = m_consumer(QByteArrayView(m_bytes.data() + m_begin, offered), all);
        m_offering = false;
        if (generation != m_generation || !m_consumer || !m_open) {
            // The consumer ended the reception, or the port closed meanwhile.
            m_asideEnd = 0;
            return;
        }
        drop(std::clamp<qint64>(took, 0, offered));
        takeAside();
        if (took < offered) {
            m_starved = true; // it has no room: `offer` comes once it has
            break;
        }
        if (!all && waiting() > 0 && due(aged) > 0) {
            // More is due: from the event loop, so that other events keep their turn.
            offerLater();
            break;
        }
        if (!all)
            break;
    }
    if (m_offerOwed)
        offerLater();
    if (m_open && waiting() < limit)
        m_device.watchReading(true);
    armTailTimer();
}

void SerialInput::drop(qint64 count)
{
    m_begin += static_cast<std::size_t>(std::clamp<qint64>(count, 0, waiting()));
    m_taken += count;
    if (m_begin == m_end) {
        m_begin = m_end = 0;
        if (m_asideEnd == 0)
            m_since.invalidate();
    }
}

void SerialInput::clear()
{
    m_begin = m_end = 0;
    m_asideEnd = 0;
    m_since.invalidate();
    ++m_generation;
}

void SerialInput::armTailTimer()
{
    if (m_consumer && !m_starved && m_rule.tailMs > 0 && waiting() > 0 && !m_tailTimer.isActive()) {
        m_tailTimer.start(static_cast<int>(std::max<qint64>(0, m_rule.tailMs - m_since.elapsed())));
    }
}

void SerialInput::offerLater()
{
    if (m_offerQueued)
        return;
    m_offerQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_offerQueued = false;
            offerDue(false);
        },
        Qt::QueuedConnection);
}
