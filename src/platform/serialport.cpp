#include "platform/serialport.h"

#include <algorithm>
#include <cstring>

namespace {

// What one look at the device reads at a time, and at most per wake-up: a fast source is read in
// large pieces, and the event loop still gets its turn between them.
constexpr std::size_t readPiece = 64 * 1024;
constexpr qint64 readBudget = 256 * 1024;
// A read at least this large found the system's buffer full or nearly so.
constexpr qint64 fullRead = 2048;
// Received bytes nobody takes pile up to here; past it, reading waits and the system holds the
// rest until its own buffer is full (a pseudo-terminal's writer then waits; a UART without flow
// control overruns). A last fetch before a close still reads past it.
constexpr qint64 inputLimit = 4 * 1024 * 1024;

} // namespace

char* SerialPort::InputBuffer::reserve(std::size_t wanted)
{
    // drop() empties the buffer whenever it takes the last byte, so leftovers sit at `begin`.
    if (begin > 0 && bytes.size() - end < wanted) {
        std::memmove(bytes.data(), bytes.data() + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    if (bytes.size() - end < wanted)
        bytes.resize(end + wanted);
    return bytes.data() + end;
}

QByteArray SerialPort::InputBuffer::take(qint64 count)
{
    const QByteArray taken = view().first(std::clamp<qint64>(count, 0, size())).toByteArray();
    drop(taken.size());
    return taken;
}

void SerialPort::InputBuffer::drop(qint64 count)
{
    begin += static_cast<std::size_t>(std::clamp<qint64>(count, 0, size()));
    if (begin == end)
        clear();
}

SerialPort::SerialPort(QObject* parent) : QObject(parent)
{
    m_receiveTimer.setSingleShot(true);
    m_receiveTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_receiveTimer, &QTimer::timeout, this, [this] {
        raiseReceiveEvents(true);
        // Bytes a handler left because they were not old enough yet (the timer may come a
        // little early) get their turn later; bytes it refused at their age wait for more.
        if (inputAgeMs() < m_receiveTimeoutMs)
            armReceiveTimer();
    });
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_drainTimer, &QTimer::timeout, this, &SerialPort::checkDrained);
    connect(&m_device, &SerialDevice::readable, this, &SerialPort::readArrived);
    connect(&m_device, &SerialDevice::writable, this, [this] { writeQueued(false); });
}

SerialPort::~SerialPort()
{
    m_device.disconnect(this);
    closePort();
}

bool SerialPort::setCommPort(int port, QString* error)
{
    if (PortOpen()) {
        if (error)
            *error = tr("The port number cannot change while %1 is open.").arg(describe());
        return false;
    }
    if (!PortMap::isPort(port)) {
        if (error)
            *error = tr("There is no port number %1; use 1 or 2.").arg(port);
        return false;
    }
    m_commPort = port;
    return true;
}

bool SerialPort::setSettings(const QString& settings, QString* error)
{
    const std::optional<LineSettings> line = LineSettings::parse(settings, error);
    if (!line)
        return false;
    QString why;
    if (PortOpen() && !m_device.apply(*line, &why)) {
        // Put back what the port had, so the refused value leaves no trace.
        QString ignored;
        m_device.apply(m_line, &ignored);
        if (error)
            *error =
                tr("%1 cannot use the line settings \"%2\": %3").arg(describe(), settings, why);
        return false;
    }
    m_line = *line;
    m_settings = settings;
    return true;
}

bool SerialPort::setPortOpen(bool open, QString* error)
{
    if (!open) {
        closePort();
        return true;
    }
    if (PortOpen()) {
        if (error)
            *error = tr("Cannot open %1: the port is already open.").arg(describe());
        return false;
    }
    QString why;
    if (!m_device.open(device(), m_line, &why)) {
        if (error)
            *error = tr("Cannot open %1: %2").arg(describe(), why);
        return false;
    }
    m_input.clear();
    m_unreadAfterLoss.clear();
    m_commEvent = 0;
    m_device.watchReading(true);
    return true;
}

void SerialPort::closePort()
{
    m_receiveTimer.stop();
    m_drainTimer.stop();
    m_awaitingDrain = false;
    m_output.clear();
    m_outputDone = 0;
    m_input.clear();
    // What the system already took is left to go out (on a pty, for the far end to read).
    m_device.close();
}

int SerialPort::OutBufferSize() const
{
    // A quarter second of line time: the next chunk is handed over only once the last one has
    // drained, so the progress shown after each chunk is never more than that ahead of the line.
    const double quarterSecond = m_line.charactersPerSecond() / 4;
    return static_cast<int>(std::clamp(quarterSecond, 1.0, 4096.0));
}

bool SerialPort::Output(const QByteArray& bytes)
{
    if (!PortOpen())
        return false;
    if (m_outputDone == m_output.size()) {
        m_output = bytes; // shared, not copied: the caller leaves it alone until drained
        m_outputDone = 0;
    } else {
        m_output.append(bytes);
    }
    m_awaitingDrain = true;
    writeQueued(true);
    return PortOpen();
}

void SerialPort::writeQueued(bool fromOutput)
{
    while (PortOpen() && m_outputDone < m_output.size()) {
        QString why;
        const qint64 put = m_device.write(m_output.constData() + m_outputDone,
                                          m_output.size() - m_outputDone, &why);
        if (put < 0) {
            lose(why);
            return;
        }
        if (put == 0) {
            m_device.watchWriting(true);
            return;
        }
        m_outputDone += put;
    }
    m_device.watchWriting(false);
    m_output = QByteArray();
    m_outputDone = 0;
    // Not from inside Output: its caller is to finish first.
    if (fromOutput)
        m_drainTimer.start(0);
    else
        checkDrained();
}

void SerialPort::checkDrained()
{
    if (!m_awaitingDrain || !PortOpen() || m_outputDone < m_output.size())
        return;
    const qint64 queued = m_device.outputQueued();
    if (queued > 0) {
        // The system still holds bytes: sleep for about as long as the line needs for them.
        const qint64 ms = queued * m_line.characterMicros() / 1000;
        m_drainTimer.start(static_cast<int>(std::clamp<qint64>(ms, 1, 1000)));
        return;
    }
    m_awaitingDrain = false;
    emit outputDrained();
}

qint64 SerialPort::OutBufferCount() const
{
    if (!PortOpen())
        return -1;
    return (m_output.size() - m_outputDone) + m_device.outputQueued();
}

int SerialPort::transmitterSettleMs() const
{
    // Room for a 64-byte hardware FIFO, plus a little scheduling slack.
    return static_cast<int>(64 * m_line.characterMicros() / 1000 + 10);
}

void SerialPort::discardOutput()
{
    m_drainTimer.stop();
    m_awaitingDrain = false;
    m_output = QByteArray();
    m_outputDone = 0;
    m_device.watchWriting(false);
    m_device.discardOutput();
}

qint64 SerialPort::InBufferCount() const
{
    return PortOpen() ? m_input.size() : -1;
}

void SerialPort::setRThreshold(int threshold)
{
    m_rThreshold = threshold < 0 ? 0 : threshold;
    // A lower threshold may already be met by what waits.
    if (!m_raising && PortOpen() && m_rThreshold > 0 && m_input.size() >= m_rThreshold)
        scheduleRaise();
}

QByteArray SerialPort::Input()
{
    if (!PortOpen())
        return {};
    const QByteArray taken = m_input.take(m_inputLen > 0 ? m_inputLen : m_input.size());
    if (m_input.size() < inputLimit)
        m_device.watchReading(true);
    return taken;
}

void SerialPort::dropInput(qint64 count)
{
    m_input.drop(count);
    if (PortOpen() && m_input.size() < inputLimit)
        m_device.watchReading(true);
}

void SerialPort::discardInput()
{
    m_input.clear();
    if (PortOpen()) {
        m_device.discardInput();
        m_device.watchReading(true);
    }
}

void SerialPort::fetchPending()
{
    // Bounded: a line that never pauses must not hold the caller forever. It reads past the
    // limit on waiting bytes: the port is about to close, and the system would discard them.
    for (qint64 total = 0; PortOpen() && total < readBudget;) {
        const qint64 got = readOnce();
        if (got <= 0)
            break;
        total += got;
    }
}

void SerialPort::readArrived()
{
    // A fast source fills the system's receive buffer (4 KiB) faster than we take it: after the
    // handlers had their turn, it has refilled meanwhile, and reading again saves a wait for the
    // next wake-up. A slow line brings a few bytes at a time and is read once a wake-up.
    for (qint64 total = 0; total < readBudget;) {
        if (m_input.size() >= inputLimit) {
            m_device.watchReading(false); // Input or discardInput makes room again
            break;
        }
        const qint64 got = readOnce();
        if (got < 0)
            return;
        if (got == 0)
            break;
        total += got;
        raiseReceiveEvents(false);
        if (got < fullRead || !PortOpen())
            break;
    }
    armReceiveTimer();
}

qint64 SerialPort::readOnce()
{
    char* room = m_input.reserve(readPiece);
    QString why;
    const qint64 got = m_device.read(room, readPiece, &why);
    if (got < 0) {
        lose(why);
        return -1;
    }
    if (got > 0 && m_input.size() == 0)
        m_input.since.start();
    m_input.end += static_cast<std::size_t>(got);
    return got;
}

void SerialPort::armReceiveTimer()
{
    if (m_receiveTimeoutMs > 0 && m_input.size() > 0 && !m_receiveTimer.isActive()) {
        m_receiveTimer.start(
            static_cast<int>(std::max<qint64>(0, m_receiveTimeoutMs - inputAgeMs())));
    }
}

void SerialPort::scheduleRaise()
{
    if (m_raiseQueued)
        return;
    m_raiseQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_raiseQueued = false;
            raiseReceiveEvents(false);
            armReceiveTimer();
        },
        Qt::QueuedConnection);
}

void SerialPort::raiseReceiveEvents(bool timedOut)
{
    if (m_raising) {
        m_raiseAgain = true;
        return;
    }
    m_raiseAgain = false;
    const qint64 before = m_input.size();
    const bool due = m_rThreshold > 0 && (before >= m_rThreshold || (timedOut && before > 0));
    if (!PortOpen() || !due)
        return;

    m_raising = true;
    m_commEvent = comEvReceive;
    emit OnComm();
    m_raising = false;

    // A handler that took bytes but left a full threshold waiting is called again, from the
    // event loop so that other events keep their turn. A handler that took nothing is called
    // again only when more arrives, so it cannot make the loop spin.
    const bool tookSome = PortOpen() && m_input.size() < before;
    if (m_raiseAgain || (tookSome && m_rThreshold > 0 && m_input.size() >= m_rThreshold))
        scheduleRaise();
}

void SerialPort::lose(const QString& why)
{
    if (!PortOpen())
        return;
    m_unreadAfterLoss = m_input.take(m_input.size());
    const QString reason = tr("%1 stopped working: %2").arg(describe(), why);
    closePort();
    QMetaObject::invokeMethod(
        this, [this, reason] { emit deviceLost(reason); }, Qt::QueuedConnection);
}
