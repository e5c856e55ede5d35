#include "platform/serialdevice.h"

#include "platform/nonblockingio.h"
#include "platform/serialspeed.h"
#include "platform/systemerror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>
#include <QStringList>

#include <array>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace {

// Where serial programs keep their "LCK..name" files; the first usable one, as the others look
// for it there too.
QString lockFilePath(const QString& resolvedDevice)
{
    static const QStringList folders{
        QStringLiteral("/var/lock"),
        QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"),
        QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
        QDir::tempPath(),
    };
    QString name = resolvedDevice;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString& folder : folders) {
        const QFileInfo info(folder);
        if (info.isDir() && info.isReadable() && info.isWritable())
            return folder + QLatin1String("/LCK..") + name;
    }
    return QString();
}

struct Speed
{
    speed_t code;
    qint32 bitsPerSecond;
};

constexpr std::array<Speed, 18> standardSpeeds{{
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
}};

std::optional<speed_t> standardCode(qint32 speed)
{
    for (const Speed& s : standardSpeeds) {
        if (s.bitsPerSecond == speed)
            return s.code;
    }
    return std::nullopt;
}

tcflag_t sizeFlag(int dataBits)
{
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

// Unix98 pseudo-terminal slaves: their output queue always reads empty, whatever waits.
bool isPseudoTerminal(int fd)
{
#ifdef Q_OS_LINUX
    struct stat info = {};
    return ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && major(info.st_rdev) >= 136 &&
           major(info.st_rdev) <= 143;
#else
    Q_UNUSED(fd);
    return false;
#endif
}

#ifdef Q_OS_LINUX
// Whether process `pid` has a descriptor on `device`, as far as this user may look.
bool hasOpen(const QByteArray& pid, const QByteArray& device)
{
    const QByteArray folder = "/proc/" + pid + "/fd";
    const std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir(folder.constData()), ::closedir);
    if (!fds)
        return false;
    while (const dirent* entry = ::readdir(fds.get())) {
        const QByteArray link = folder + '/' + entry->d_name;
        char target[4096];
        const ssize_t length = ::readlink(link.constData(), target, sizeof target);
        if (length > 0 && QByteArray(target, length) == device)
            return true;
    }
    return false;
}
#endif

struct Holder
{
    qint64 pid = 0;
    QString name;
};

// Another process that has the device open. Only the processes this user may look into are
// seen, so finding none does not prove that none holds it.
std::optional<Holder> findHolder(const QString& resolvedDevice)
{
#ifdef Q_OS_LINUX
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc)
        return std::nullopt;
    const QByteArray device = QFile::encodeName(resolvedDevice);
    const qint64 self = ::getpid();
    while (const dirent* entry = ::readdir(proc.get())) {
        bool isProcess = false;
        const QByteArray name(entry->d_name);
        const qint64 pid = name.toLongLong(&isProcess);
        if (!isProcess || pid == self || !hasOpen(name, device))
            continue;
        QFile comm(QString::fromLatin1("/proc/" + name + "/comm"));
        const QString program = comm.open(QIODevice::ReadOnly)
                                    ? QString::fromLocal8Bit(comm.readAll().trimmed())
                                    : QString();
        return Holder{pid, program};
    }
#else
    Q_UNUSED(resolvedDevice);
#endif
    return std::nullopt;
}

// Why the device refused the open with EBUSY: something set TIOCEXCL on it. A serial program
// holding it would have shown in the lock file already; a pseudo-terminal whose holder was killed
// keeps the mark, with nobody holding it, until its master closes.
QString busyReason(const QString& resolvedDevice)
{
    if (const std::optional<Holder> holder = findHolder(resolvedDevice)) {
        return SerialDevice::tr("the device is in use by another program (%1, process %2).")
            .arg(holder->name.isEmpty() ? SerialDevice::tr("unknown") : holder->name)
            .arg(holder->pid);
    }
    return SerialDevice::tr(
        "the device is marked for exclusive use, but no program is seen holding it; one that "
        "used it may have ended without releasing it (a pseudo-terminal keeps the mark until its "
        "other end closes). Close the program at the other end of the pseudo-terminal, or unplug "
        "the device and plug it in again.");
}

} // namespace

SerialDevice::SerialDevice(QObject* parent) : QObject(parent) {}

SerialDevice::~SerialDevice()
{
    close();
}

bool SerialDevice::open(const QString& path, const LineSettings& line, QString* error)
{
    close();
    if (!hold(path, error))
        return false;
    if (!configure(line, error)) {
        close();
        return false;
    }
    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &SerialDevice::readable);
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, &SerialDevice::writable);
    return true;
}

bool SerialDevice::hold(const QString& path, QString* error)
{
    const QFileInfo info(path);
    // A missing device says so, not that another program trying the same name holds its lock.
    if (!info.exists()) {
        *error = systemError(ENOENT);
        return false;
    }
    const QString resolved = info.canonicalFilePath();
    const QString lockPath = lockFilePath(resolved);
    if (!lockPath.isEmpty()) {
        auto lock = std::make_unique<QLockFile>(lockPath);
        // Never stale by age alone: Qt's default of 30 s would hand the lock of a long transfer
        // still running to a second program. The lock of a program that is gone is still taken
        // over at once.
        lock->setStaleLockTime(0);
        if (!lock->tryLock(0) && lock->error() == QLockFile::LockFailedError) {
            qint64 pid = 0;
            QString host;
            QString program;
            *error = lock->getLockInfo(&pid, &host, &program)
                         ? tr("the device is locked by another program (%1, process %2).")
                               .arg(program.isEmpty() ? tr("unknown") : program)
                               .arg(pid)
                         : tr("the device is locked by another program (%1).").arg(lockPath);
            return false;
        }
        // A lock file that cannot be written (a full disk) leaves the lock on the descriptor,
        // which keeps out other programs all the same.
        if (lock->isLocked())
            m_lockFile = std::move(lock);
    }

    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        const int why = errno;
        *error = why == EBUSY ? busyReason(resolved)
                 : why == EACCES
                     ? tr("%1 (your user needs access to it; on Debian, by being in the "
                          "dialout group).")
                           .arg(systemError(why))
                     : systemError(why);
        m_lockFile.reset();
        return false;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        *error =
            errno == EWOULDBLOCK ? tr("the device is locked by another program.") : systemError();
        close();
        return false;
    }
    if (!::isatty(m_fd)) {
        *error = tr("it is not a serial device.");
        close();
        return false;
    }
    ::ioctl(m_fd, TIOCEXCL);
    m_path = path;
    m_outputQueueKnown = !isPseudoTerminal(m_fd);
    return true;
}

bool SerialDevice::configure(const LineSettings& line, QString* error)
{
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0) {
        *error = systemError();
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_cflag |= CLOCAL | CREAD;
    // Reads never wait (the descriptor does not block); with VMIN 1 a read that finds nothing
    // says EAGAIN, so that a read of 0 bytes means a hang-up and nothing else.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (!setFrame(line, &tio, error))
        return false;
    setFlow(line.flow, &tio);
    const std::optional<speed_t> code = standardCode(line.speed);
#ifdef Q_OS_LINUX
    ::cfsetspeed(&tio, code.value_or(B38400));
#else
    // Elsewhere a speed_t is the rate itself, so any rate can be asked for.
    ::cfsetspeed(&tio, code.value_or(static_cast<speed_t>(line.speed)));
#endif
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        *error = systemError();
        return false;
    }
#ifdef Q_OS_LINUX
    if (!code && !SerialSpeed::set(m_fd, line.speed)) {
        *error = tr("the device cannot run at %1 bits per second: %2")
                     .arg(line.speed)
                     .arg(systemError());
        return false;
    }
#endif
    return checkTaken(line, error);
}

bool SerialDevice::setFrame(const LineSettings& line, termios* tio, QString* error)
{
    tio->c_cflag &= ~tcflag_t(CRTSCTS | CSIZE | CSTOPB | PARENB | PARODD);
#ifdef CMSPAR
    tio->c_cflag &= ~tcflag_t(CMSPAR);
#endif
    tio->c_cflag |= sizeFlag(line.dataBits);
    if (line.stopBits == LineSettings::StopBits::OneAndHalf) {
        *error = tr("the device cannot use 1.5 stop bits.");
        return false;
    }
    if (line.stopBits == LineSettings::StopBits::Two)
        tio->c_cflag |= CSTOPB;
    switch (line.parity) {
    case LineSettings::Parity::None:
        break;
    case LineSettings::Parity::Even:
        tio->c_cflag |= PARENB;
        break;
    case LineSettings::Parity::Odd:
        tio->c_cflag |= PARENB | PARODD;
        break;
    case LineSettings::Parity::Mark:
    case LineSettings::Parity::Space:
#ifdef CMSPAR
        tio->c_cflag |= PARENB | CMSPAR | (line.parity == LineSettings::Parity::Mark ? PARODD : 0);
        break;
#else
        *error = tr("the device cannot use mark or space parity.");
        return false;
#endif
    }
    return true;
}

void SerialDevice::setFlow(LineSettings::Flow flow, termios* tio)
{
    // IXON: an XOFF from the far end stops our output until its XON, and neither reaches the
    // input. IXOFF: the system sends XOFF itself when its input queue fills. Both are the
    // system's; the program never puts them on the line of its own.
    tio->c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    tio->c_cflag &= ~tcflag_t(CRTSCTS);
    tio->c_cc[VSTART] = LineSettings::xon;
    tio->c_cc[VSTOP] = LineSettings::xoff;
    if (flow == LineSettings::Flow::XonXoff)
        tio->c_iflag |= IXON | IXOFF;
    else if (flow == LineSettings::Flow::RtsCts)
        tio->c_cflag |= CRTSCTS;
}

bool SerialDevice::checkTaken(const LineSettings& line, QString* error)
{
    // A device may leave out what it cannot do without saying so; what it took is what counts.
    termios taken{};
    if (::tcgetattr(m_fd, &taken) != 0) {
        *error = systemError();
        return false;
    }
    if ((taken.c_cflag & CSIZE) != sizeFlag(line.dataBits)) {
        *error = tr("the device cannot use %1 data bits.").arg(line.dataBits);
        return false;
    }
    // A driver without the wires clears the flag rather than refuse it.
    if (line.flow == LineSettings::Flow::RtsCts && !(taken.c_cflag & CRTSCTS)) {
        *error = tr("the device cannot use RTS/CTS flow control.");
        return false;
    }
    const qint32 speed = SerialSpeed::get(m_fd);
    // A UART reaches a rate its clock does not divide evenly only approximately; a few percent
    // off is within what the far end tolerates.
    if (speed > 0 && std::abs(speed - line.speed) > line.speed / 30) {
        *error = tr("the device cannot run at %1 bits per second (it offers %2).")
                     .arg(line.speed)
                     .arg(speed);
        return false;
    }
    return true;
}

bool SerialDevice::apply(const LineSettings& line, QString* error)
{
    return isOpen() && configure(line, error);
}

bool SerialDevice::setLowLatency(bool on, QString* why)
{
    if (!on) {
        m_latency.restore();
        return true;
    }
    if (!isOpen()) {
        if (why)
            *why = tr("the device is not open.");
        return false;
    }
    return m_latency.isRequested() || m_latency.request(m_fd, m_path, why);
}

void SerialDevice::close()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    // The lock file goes first: once the descriptor closes, a pseudo-terminal's number may be
    // handed to another program at once.
    m_lockFile.reset();
    if (m_fd >= 0) {
        m_latency.restore();
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd); // releases the flock too
        m_fd = -1;
    }
}

qint64 SerialDevice::read(char* data, qint64 size, QString* error)
{
    bool atEnd = false;
    const qint64 got = NonBlockingIo::read(m_fd, data, size, &atEnd);
    if (got < 0 || atEnd) {
        // With VMIN 1 a read of nothing is a hang-up.
        *error = atEnd ? tr("the device closed the line or was disconnected.") : systemError();
        return -1;
    }
    return got;
}

qint64 SerialDevice::write(const char* data, qint64 size, QString* error)
{
    const qint64 put = NonBlockingIo::write(m_fd, data, size);
    if (put < 0) {
        *error =
            errno == EIO ? tr("the device closed the line or was disconnected.") : systemError();
    }
    return put;
}

qint64 SerialDevice::outputQueued() const
{
    int queued = 0;
    return isOpen() && ::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0 ? queued : 0;
}

void SerialDevice::discardInput()
{
    if (isOpen())
        ::tcflush(m_fd, TCIFLUSH);
}

void SerialDevice::discardOutput()
{
    if (isOpen())
        ::tcflush(m_fd, TCOFLUSH);
}

void SerialDevice::watchReading(bool on)
{
    if (m_readNotifier && m_readNotifier->isEnabled() != on)
        m_readNotifier->setEnabled(on);
}

void SerialDevice::watchWriting(bool on)
{
    if (m_writeNotifier && m_writeNotifier->isEnabled() != on)
        m_writeNotifier->setEnabled(on);
}
