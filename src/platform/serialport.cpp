#include "platform/serialport.h"

#include <QStringList>

#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace {

QString defaultDevice(int port)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#elif defined(Q_OS_MACOS)
    return QStringLiteral("/dev/cu.serial%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

} // namespace

SerialPort::SerialPort(QObject* parent) : QObject(parent)
{
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_drainTimer, &QTimer::timeout, this, &SerialPort::checkDrained);
    m_resumeReadTimer.setSingleShot(true);
    connect(&m_resumeReadTimer, &QTimer::timeout, this, &SerialPort::resumeReading);
    connect(&m_port, &QSerialPort::bytesWritten, this, &SerialPort::onBytesWritten);
    connect(&m_port, &QSerialPort::readyRead, this, &SerialPort::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialPort::onError);
}

SerialPort::~SerialPort()
{
    // Nothing may reach this object from the port while it is taken down.
    m_port.disconnect(this);
    closePort();
}

bool SerialPort::setCommPort(int port, QString* error)
{
    if (PortOpen()) {
        if (error)
            *error = tr("The port number cannot change while %1 is open.").arg(describe());
        return false;
    }
    if (port != 1 && port != 2) {
        if (error)
            *error = tr("There is no port number %1; use 1 or 2.").arg(port);
        return false;
    }
    m_commPort = port;
    return true;
}

QString SerialPort::device(int port) const
{
    return m_devices.value(port, defaultDevice(port));
}

void SerialPort::setDevice(int port, const QString& devicePath)
{
    m_devices.insert(port, devicePath);
}

QString SerialPort::portName(int port)
{
    return QStringLiteral("COM%1").arg(port);
}

QString SerialPort::describe() const
{
    return QStringLiteral("%1 (%2)").arg(portName(m_commPort), device());
}

bool SerialPort::parseSettings(const QString& text, LineSettings* out, QString* error)
{
    const auto fail = [&](const QString& why) {
        if (error)
            *error = tr("The line settings \"%1\" are not valid: %2").arg(text, why);
        return false;
    };
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return fail(tr("expected speed,parity,data bits,stop bits."));

    LineSettings line;
    bool ok = false;
    const qint64 speed = parts[0].trimmed().toLongLong(&ok);
    if (!ok || speed < 50 || speed > 4'000'000)
        return fail(tr("the speed must be a whole number of bits per second."));
    line.speed = static_cast<qint32>(speed);

    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N"))
        line.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        line.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        line.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        line.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        line.parity = QSerialPort::SpaceParity;
    else
        return fail(tr("the parity must be N, E, O, M or S."));

    const int dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || dataBits < 5 || dataBits > 8)
        return fail(tr("the data bits must be 5, 6, 7 or 8."));
    line.dataBits = static_cast<QSerialPort::DataBits>(dataBits);

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        line.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        line.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        line.stopBits = QSerialPort::TwoStop;
    else
        return fail(tr("the stop bits must be 1, 1.5 or 2."));

    if (out)
        *out = line;
    return true;
}

bool SerialPort::setSettings(const QString& settings, QString* error)
{
    LineSettings line;
    if (!parseSettings(settings, &line, error))
        return false;
    if (PortOpen() && !applyLineSettings(line, error)) {
        // Put back what the port had, so the refused value leaves no trace.
        applyLineSettings(m_line, nullptr);
        return false;
    }
    m_line = line;
    m_speed = line.speed;
    m_settings = settings;
    return true;
}

bool SerialPort::applyLineSettings(const LineSettings& line, QString* error)
{
    const bool ok = m_port.setBaudRate(line.speed) && m_port.setParity(line.parity) &&
                    m_port.setDataBits(line.dataBits) && m_port.setStopBits(line.stopBits) &&
                    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!ok && error)
        *error = tr("%1 cannot use the line settings: %2").arg(describe(), m_port.errorString());
    return ok;
}

bool SerialPort::PortOpen() const
{
    return m_port.isOpen();
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
    m_port.setPortName(device());
    // Settings given before the open are applied by the open itself.
    applyLineSettings(m_line, nullptr);
    if (!m_port.open(QIODevice::ReadWrite)) {
        if (error)
            *error = tr("Cannot open %1: %2").arg(describe(), m_port.errorString());
        m_port.clearError();
        return false;
    }
    m_port.clearError();
    m_lost = false;
    m_unreadAfterLoss.clear();
    m_awaitingDrain = false;
    m_commEvent = 0;
    return true;
}

void SerialPort::closePort()
{
    resumeReading();
    m_sinceArrival.invalidate();
    m_availableAfterLook = 0;
    m_drainTimer.stop();
    m_awaitingDrain = false;
    if (!m_port.isOpen())
        return;
    // Qt drops what it still holds; callers that want it on the line wait for outputDrained.
    // What the system already took is left to go out (on a pty, for the far end to read).
    m_port.close();
}

void SerialPort::discardOutput()
{
    m_drainTimer.stop();
    m_awaitingDrain = false;
    if (PortOpen())
        m_port.clear(QSerialPort::Output);
}

int SerialPort::OutBufferSize() const
{
    // A chunk is about a quarter second of line time. The next chunk is handed over only once
    // the last one has drained, so the pause that costs (one timer or event-loop turn, about a
    // millisecond) stays under 1% of the line's time at every speed, while the progress shown
    // after each chunk is never more than a quarter second ahead of the line.
    const int bytesPerSecond = m_speed / 10;
    return std::clamp(bytesPerSecond / 4, 64, 4096);
}

bool SerialPort::Output(const QByteArray& bytes)
{
    if (!PortOpen())
        return false;
    m_awaitingDrain = true;
    if (bytes.isEmpty()) {
        QMetaObject::invokeMethod(this, &SerialPort::onBytesWritten, Qt::QueuedConnection);
        return true;
    }
    return m_port.write(bytes) == bytes.size();
}

qint64 SerialPort::OutBufferCount() const
{
    if (!PortOpen())
        return -1;
    return m_port.bytesToWrite() + kernelOutputQueue();
}

qint64 SerialPort::kernelOutputQueue() const
{
#if defined(Q_OS_UNIX) && defined(TIOCOUTQ)
    int queued = 0;
    if (m_port.isOpen() && ::ioctl(m_port.handle(), TIOCOUTQ, &queued) == 0 && queued > 0)
        return queued;
#endif
    return 0;
}

int SerialPort::charTimeMicros() const
{
    int bits = 1 + m_line.dataBits + (m_line.parity == QSerialPort::NoParity ? 0 : 1);
    bits += m_line.stopBits == QSerialPort::OneStop ? 1 : 2;
    return static_cast<int>(std::max<qint64>(1, qint64(bits) * 1'000'000 / m_speed));
}

int SerialPort::transmitterSettleMs() const
{
    // Room for a 64-byte hardware FIFO, plus a little scheduling slack.
    return 64 * charTimeMicros() / 1000 + 10;
}

void SerialPort::onBytesWritten()
{
    if (m_awaitingDrain && m_port.bytesToWrite() == 0)
        checkDrained();
}

void SerialPort::checkDrained()
{
    if (!m_awaitingDrain || !PortOpen())
        return;
    if (m_port.bytesToWrite() > 0)
        return; // bytesWritten will come back here
    const qint64 queued = kernelOutputQueue();
    if (queued > 0) {
        // The kernel still holds bytes: sleep for about as long as the line needs for them.
        const qint64 ms = queued * charTimeMicros() / 1000;
        m_drainTimer.start(static_cast<int>(std::clamp<qint64>(ms, 1, 1000)));
        return;
    }
    m_awaitingDrain = false;
    emit outputDrained();
}

qint64 SerialPort::InBufferCount() const
{
    if (!PortOpen())
        return -1;
    return m_port.bytesAvailable();
}

qint64 SerialPort::receivedNotTaken() const
{
    if (!PortOpen())
        return -1;
    qint64 held = 0;
#if defined(Q_OS_UNIX) && defined(FIONREAD)
    int queued = 0;
    if (::ioctl(m_port.handle(), FIONREAD, &queued) == 0 && queued > 0)
        held = queued;
#endif
    return m_port.bytesAvailable() + held;
}

void SerialPort::setRThreshold(int threshold)
{
    if (threshold < m_rThreshold)
        resumeReading();
    m_rThreshold = threshold < 0 ? 0 : threshold;
    // A lower threshold may already be met by what waits.
    if (!m_raising && PortOpen() && m_rThreshold > 0 && m_port.bytesAvailable() >= m_rThreshold)
        scheduleRaise();
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
            raiseReceiveEvents();
        },
        Qt::QueuedConnection);
}

QByteArray SerialPort::Input()
{
    if (!PortOpen())
        return {};
    return m_inputLen > 0 ? m_port.read(m_inputLen) : m_port.readAll();
}

void SerialPort::discardInput()
{
    if (PortOpen())
        m_port.clear(QSerialPort::Input);
    m_availableAfterLook = 0;
}

void SerialPort::fetchPending()
{
    resumeReading();
    // A bounded number of rounds: a line that never pauses must not hold the caller forever.
    m_fetching = true;
    for (int round = 0; round < 64 && PortOpen(); ++round) {
        if (!m_port.waitForReadyRead(0))
            break;
    }
    m_fetching = false;
    m_port.clearError();
}

void SerialPort::onReadyRead()
{
    if (m_fetching)
        return;
    const qint64 arrived = std::max<qint64>(0, m_port.bytesAvailable() - m_availableAfterLook);
    const qint64 sinceNs = m_sinceArrival.isValid() ? m_sinceArrival.nsecsElapsed()
                                                    : std::numeric_limits<qint64>::max();
    m_sinceArrival.start();
    raiseReceiveEvents();
    m_availableAfterLook = PortOpen() ? m_port.bytesAvailable() : 0;
    pauseReadingIfSlow(arrived, sinceNs);
}

void SerialPort::pauseReadingIfSlow(qint64 arrived, qint64 sinceNs)
{
    // A UART hands over a few characters at a time, so a reader that looks at every arrival
    // wakes about a thousand times a second at 115200 baud for nothing: OnComm waits for a
    // threshold's worth. Where bytes come no faster than the line can carry them, the system
    // keeps them (a receive queue holds several kilobytes) while we sleep for as long as the
    // line needs to bring the rest of the threshold. Bytes that come much faster than the line
    // (a pseudo-terminal, a USB device ignoring the speed) are read as they come.
    if (m_readPaused || !PortOpen() || m_rThreshold <= 1)
        return;
    const qint64 waiting = m_port.bytesAvailable();
    if (waiting >= m_rThreshold)
        return;
    const double lineBytesPerSecond = 1e6 / charTimeMicros();
    if (arrived * 1e9 > 2 * lineBytesPerSecond * double(sinceNs))
        return;
    const qint64 ms = (m_rThreshold - waiting) * charTimeMicros() / 1000;
    m_readPaused = true;
    // Qt stops reading once its buffer holds this much, until the size is lifted again.
    m_port.setReadBufferSize(std::max<qint64>(waiting, 1));
    // Bounded, so that a lost device or the end of a transfer is noticed soon at any speed.
    m_resumeReadTimer.start(static_cast<int>(std::clamp<qint64>(ms, 2, 250)));
}

void SerialPort::resumeReading()
{
    m_resumeReadTimer.stop();
    if (!m_readPaused)
        return;
    m_readPaused = false;
    m_port.setReadBufferSize(0);
}

void SerialPort::raiseReceiveEvents()
{
    if (m_raising) {
        // A handler let the event loop run (a message box, say); come back once it returns.
        m_raisePending = true;
        return;
    }
    m_raisePending = false;
    if (!PortOpen() || m_rThreshold <= 0 || m_port.bytesAvailable() < m_rThreshold)
        return;

    const qint64 before = m_port.bytesAvailable();
    m_raising = true;
    m_commEvent = comEvReceive;
    emit OnComm();
    m_raising = false;
    // What the handlers left: the next arrival is measured from here.
    m_availableAfterLook = PortOpen() ? m_port.bytesAvailable() : 0;

    // A handler that took bytes but left a full threshold waiting is called again, from the
    // event loop so that other events keep their turn. Qt raises readyRead only for new data,
    // so without this those bytes would wait until more arrive. A handler that took nothing
    // is called again only when more arrives, so it cannot make the loop spin.
    const bool tookSome = PortOpen() && m_port.bytesAvailable() < before;
    if (m_raisePending || (tookSome && m_rThreshold > 0 && m_port.bytesAvailable() >= m_rThreshold))
        scheduleRaise();
}

void SerialPort::onError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::ResourceError:
        break;
    default:
        // Modem-line calls fail harmlessly on a pseudo-terminal; open failures are reported
        // by setPortOpen.
        return;
    }
    if (!m_port.isOpen() || m_lost)
        return;
    // Once the device is gone Qt reports the same error in a tight loop and keeps the port
    // open; closing at the first one stops that.
    m_lost = true;
    m_unreadAfterLoss = m_port.readAll();
    // Qt reports a hang-up (a read of 0 bytes) as ReadError with whatever errno was left over,
    // so its text would name some unrelated failure.
    const QString why = error == QSerialPort::ReadError
                            ? tr("the device closed the line or was disconnected.")
                            : m_port.errorString();
    const QString reason = tr("%1 stopped working: %2").arg(describe(), why);
    closePort();
    m_port.clearError();
    QMetaObject::invokeMethod(
        this, [this, reason] { emit deviceLost(reason); }, Qt::QueuedConnection);
}
