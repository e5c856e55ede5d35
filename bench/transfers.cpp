#include "transfers.h"

#include "childprocess.h"
#include "farend.h"
#include "pattern.h"
#include "windowrig.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr std::size_t kernelChunk = 64 * 1024;
// How long the far end may still take the last bytes of a send the program says is over.
constexpr int farEndGraceMs = 10'000;
// How long a program told to stop may take to do so.
constexpr int stopGraceMs = 10'000;
// The longest a window in a process of its own is given; its parent ends it sooner when need be.
constexpr int windowProcessLimitMs = 600'000;

// A file descriptor, closed when it goes.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }

private:
    int m_fd = -1;
};

Descriptor openPath(const QString& path, int flags)
{
    return Descriptor(::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, 0644));
}

speed_t speedCode(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    default:
        return B115200;
    }
}

// Raw at `baud`, and a read waits for at least one byte: `stty -F PORT raw BAUD` before a cat.
bool setLine(int fd, int baud)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, speedCode(baud));
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

Transfer failed(const QString& why)
{
    Transfer t;
    t.failure = why;
    return t;
}

// What the far end took from a send that began at `startNs`.
Transfer takenByFarEnd(FarEnd& far, std::int64_t startNs, std::int64_t bytes, bool cut)
{
    if (cut || !far.wait(farEndGraceMs))
        far.abort();
    Transfer t;
    t.bytes = far.moved();
    t.ns = far.lastByteNs() - startNs;
    t.cut = cut;
    if (!far.intact())
        t.failure = QStringLiteral("the far end got bytes that differ from the pattern");
    else if (t.bytes == 0)
        t.failure = QStringLiteral("nothing reached the far end");
    else if (!cut && t.bytes != bytes)
        t.failure = QStringLiteral("%1 of %2 bytes reached the far end").arg(t.bytes).arg(bytes);
    return t;
}

// What a receive that took `ns` stored in `path`, which goes afterwards.
Transfer storedInFile(const QString& path, std::int64_t ns, std::int64_t bytes, bool cut)
{
    Transfer t;
    t.bytes = QFileInfo(path).size();
    t.ns = ns;
    t.cut = cut;
    if (t.bytes == 0)
        t.failure = QStringLiteral("nothing was stored");
    else if (!Pattern::fileMatches(path, t.bytes))
        t.failure = QStringLiteral("the file differs from the pattern");
    else if (!cut && t.bytes != bytes)
        t.failure = QStringLiteral("%1 of %2 bytes were stored").arg(t.bytes).arg(bytes);
    QFile::remove(path);
    return t;
}

// dd, with the line set up as `stty raw BAUD` would have left it: the kernel path in a process
// of its own, timed as a program is, from its start to its end. `verify` follows a receive with
// sha256sum of the file, and the time runs on to its end.
Transfer kernelProcess(const Setup& setup, FarEnd& far, Direction direction, int baud,
                       std::int64_t bytes, int limitMs, bool verify)
{
    const bool sending = direction == Direction::Send;
    const QString file = setup.file(sending ? "send.bin" : "received.bin");
    {
        // The far end holds the line open, so the settings stay for dd.
        Descriptor port = openPath(far.devicePath(), O_RDWR | O_NOCTTY);
        if (port.get() < 0 || !setLine(port.get(), baud))
            return failed(QStringLiteral("cannot set up the port"));
    }
    const QString device = far.devicePath();
    const QString blocks = QString::number(bytes / std::int64_t(kernelChunk));
    const QStringList arguments =
        sending ? QStringList{QStringLiteral("if=") + file, QStringLiteral("of=") + device,
                              QStringLiteral("bs=64K"), QStringLiteral("status=none")}
                : QStringList{QStringLiteral("if=") + device,    QStringLiteral("of=") + file,
                              QStringLiteral("bs=64K"),          QStringLiteral("count=") + blocks,
                              QStringLiteral("iflag=fullblock"), QStringLiteral("status=none")};
    if (sending)
        far.startReceiving(bytes);
    ChildProcess child;
    if (!child.start(QStandardPaths::findExecutable(QStringLiteral("dd")), arguments, {},
                     setup.log))
        return failed(QStringLiteral("cannot start dd"));
    if (!sending && child.waitForOpen(device, limitMs))
        far.startSending(bytes);
    const bool cut = !child.waitForEnd(limitMs);
    if (cut)
        child.terminate();
    child.waitForExit(stopGraceMs);
    if (sending)
        return takenByFarEnd(far, child.startedNs(), bytes, cut);
    far.abort();
    std::int64_t endNs = child.exitedNs();
    if (verify) {
        // The user's next step, which the command line's own checksum spares; a copy cut short
        // is checked as far as it got, as the command line's is.
        ChildProcess checksum;
        if (!checksum.start(QStandardPaths::findExecutable(QStringLiteral("sha256sum")), {file}, {},
                            setup.log))
            return failed(QStringLiteral("cannot start sha256sum"));
        if (!checksum.waitForExit(limitMs) || checksum.exitCode() != 0)
            return failed(QStringLiteral("sha256sum failed: %1").arg(setup.logTail()));
        endNs = checksum.exitedNs();
    }
    Transfer t = storedInFile(file, endNs - child.startedNs(), bytes, cut);
    t.firstStepNs = child.exitedNs() - child.startedNs();
    return t;
}

Transfer windowSend(const Setup& setup, FarEnd& far, int baud, std::int64_t bytes, int limitMs)
{
    WindowRig window(far.devicePath(), baud);
    if (!window.isReady())
        return failed(QStringLiteral("the window did not take COM2 at %1 baud").arg(baud));
    far.startReceiving(bytes);
    const std::int64_t start = monotonicNs();
    const WindowRig::Outcome outcome = window.send(setup.file("send.bin"), limitMs);
    if (outcome == WindowRig::Outcome::Failed)
        return failed(QStringLiteral("the window failed: %1").arg(window.errors()));
    return takenByFarEnd(far, start, bytes, outcome == WindowRig::Outcome::Cut);
}

Transfer windowReceive(const Setup& setup, FarEnd& far, int baud, std::int64_t bytes, int limitMs,
                       std::vector<double>* lateness)
{
    const QString path = setup.file("received.bin");
    WindowRig window(far.devicePath(), baud);
    if (!window.isReady())
        return failed(QStringLiteral("the window did not take COM2 at %1 baud").arg(baud));
    if (!window.startReceive(path))
        return failed(QStringLiteral("the window did not receive: %1").arg(window.errors()));
    const std::int64_t start = monotonicNs();
    far.startSending(bytes);
    const WindowRig::Outcome outcome = window.finishReceive(
        bytes, [&] { return far.finished(); }, limitMs);
    const std::int64_t end = monotonicNs();
    far.abort();
    if (lateness)
        lateness->insert(lateness->end(), window.lateness.begin(), window.lateness.end());
    if (outcome == WindowRig::Outcome::Failed) {
        QFile::remove(path);
        return failed(QStringLiteral("the window failed: %1").arg(window.errors()));
    }
    return storedInFile(path, end - start, bytes, outcome == WindowRig::Outcome::Cut);
}

Transfer commandLine(const Setup& setup, FarEnd& far, Direction direction, int baud,
                     std::int64_t bytes, int limitMs)
{
    const bool sending = direction == Direction::Send;
    const QString file = setup.file(sending ? "send.bin" : "received.bin");
    // A new file, as the kernel path's and the window's are made before their clocks start:
    // emptying the last run's 128 MiB would count the file system's time, not the line's.
    if (!sending)
        QFile::remove(file);
    if (sending)
        far.startReceiving(bytes);
    ChildProcess child;
    if (!child.start(setup.marlune,
                     commandLineArguments(direction, far.devicePath(), file, baud, bytes), {},
                     setup.log))
        return failed(QStringLiteral("cannot start %1").arg(setup.marlune));
    // A device sends once it is listened to.
    if (!sending && child.waitForOpen(far.devicePath(), limitMs))
        far.startSending(bytes);
    const std::int64_t deadline = child.startedNs() + std::int64_t(limitMs) * 1'000'000;
    const bool cut = !child.waitForEnd(static_cast<int>((deadline - monotonicNs()) / 1'000'000));
    if (cut)
        child.terminate();
    child.waitForExit(stopGraceMs);
    if (!cut && child.exitCode() != 0) {
        far.abort();
        QFile::remove(file);
        return failed(
            QStringLiteral("exit code %1: %2").arg(child.exitCode()).arg(setup.logTail()));
    }
    if (sending)
        return takenByFarEnd(far, child.startedNs(), bytes, cut);
    far.abort();
    return storedInFile(file, child.exitedNs() - child.startedNs(), bytes, cut);
}

} // namespace

QString Setup::logTail() const
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll().right(600)).trimmed();
}

double Transfer::megabytesPerSecond() const
{
    return failure.isEmpty() && ns > 0 ? bytes * 1e3 / ns : NAN;
}

double Transfer::firstStepMegabytesPerSecond() const
{
    return failure.isEmpty() && firstStepNs > 0 ? bytes * 1e3 / firstStepNs : NAN;
}

Transfer runTransfer(const Setup& setup, Mover mover, Direction direction, int baud,
                     std::int64_t bytes, int limitMs, std::vector<double>* lateness)
{
    const bool sending = direction == Direction::Send;
    FarEnd far;
    if (!far.isValid())
        return failed(QStringLiteral("cannot make a pseudo-terminal"));
    switch (mover) {
    case Mover::KernelProcess:
    case Mover::KernelVerified:
        return kernelProcess(setup, far, direction, baud, bytes, limitMs,
                             mover == Mover::KernelVerified);
    case Mover::Window:
        return sending ? windowSend(setup, far, baud, bytes, limitMs)
                       : windowReceive(setup, far, baud, bytes, limitMs, lateness);
    case Mover::CommandLine:
        break;
    }
    return commandLine(setup, far, direction, baud, bytes, limitMs);
}

QStringList commandLineArguments(Direction direction, const QString& device, const QString& file,
                                 int baud, std::int64_t bytes)
{
    QStringList arguments{direction == Direction::Send ? QStringLiteral("send")
                                                       : QStringLiteral("receive"),
                          file,
                          QStringLiteral("--com1"),
                          device,
                          QStringLiteral("--port"),
                          QStringLiteral("1"),
                          QStringLiteral("--baud"),
                          QString::number(baud)};
    if (direction == Direction::Receive)
        arguments << QStringLiteral("--max-bytes") << QString::number(bytes)
                  << QStringLiteral("--force");
    return arguments;
}

QStringList windowProcessArguments(Direction direction, const QString& device, const QString& file,
                                   int baud, std::int64_t bytes)
{
    return {QStringLiteral("--window"),
            direction == Direction::Send ? QStringLiteral("send") : QStringLiteral("receive"),
            device,
            file,
            QString::number(baud),
            QString::number(bytes)};
}

int runWindowProcess(const QStringList& arguments)
{
    if (arguments.size() != 5)
        return 2;
    const bool sending = arguments[0] == QLatin1String("send");
    const QString& file = arguments[2];
    const std::int64_t bytes = arguments[4].toLongLong();
    // Looks for the end only now and then, so that the looking costs next to no CPU itself.
    WindowRig window(arguments[1], arguments[3].toInt(), 250);
    bool ok = window.isReady();
    if (ok && sending)
        ok = window.send(file, windowProcessLimitMs) == WindowRig::Outcome::Done;
    else if (ok)
        // The far end is in the parent: the file stopping short of `bytes` for a while is the
        // only sign that it is done.
        ok = window.startReceive(file) &&
             window.finishReceive(
                 bytes, [] { return true; }, windowProcessLimitMs) == WindowRig::Outcome::Done;
    if (!ok)
        std::fprintf(stderr, "window %s failed: %s\n", qPrintable(arguments[0]),
                     qPrintable(window.errors()));
    return ok ? 0 : 1;
}
