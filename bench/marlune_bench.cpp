// Benchmarks of the transfer paths over a raw pseudo-terminal pair, each with its target.
// A pty moves data at memory speed, so these measure the program's own overhead: throughput,
// memory that grows with the file's size, and CPU used while the line is slow.
//
// Exit status 0 when every target is met, 1 otherwise.

#include "platform/serialport.h"
#include "transfer/filereceiver.h"
#include "transfer/filesender.h"
#include "transfer/filetable.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

struct Pty
{
    int master = -1;
    int slave = -1;
    QString path;

    Pty()
    {
        termios raw{};
        cfmakeraw(&raw);
        char name[256] = {};
        if (::openpty(&master, &slave, name, &raw, nullptr) == 0)
            path = QString::fromLocal8Bit(name);
    }
    ~Pty()
    {
        ::close(master);
        ::close(slave);
    }
};

int failures = 0;

// Peak resident memory of this process so far, in KiB.
long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

bool makeFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    QRandomGenerator random(42);
    for (auto& b : block)
        b = static_cast<char>(random.bounded(256));
    for (qint64 done = 0; done < size; done += block.size())
        file.write(block.constData(), std::min<qint64>(block.size(), size - done));
    return true;
}

void report(const char* what, double value, const char* unit, double target, bool atLeast)
{
    const bool met = atLeast ? value >= target : value <= target;
    if (!met)
        ++failures;
    std::printf("%-44s %10.2f %-6s (target %s %.2f) %s\n", what, value, unit,
                atLeast ? ">=" : "<=", target, met ? "ok" : "MISSED");
}

// Sends `size` bytes while a thread drains the far end, pausing `pauseMicros` after each
// `readSize` bytes. Returns the seconds it took; sets the process CPU seconds used.
double send(const QString& dir, qint64 size, int readSize, int pauseMicros, double* cpu)
{
    const QString path = dir + QStringLiteral("/send.bin");
    makeFile(path, size);
    Pty pty;
    std::atomic<qint64> received{0};
    std::atomic<bool> senderDone{false};
    std::thread reader([&] {
        std::vector<char> buffer(readSize);
        while (received < size) {
            pollfd p{pty.master, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) {
                if (senderDone)
                    break; // the rest is not coming
                continue;
            }
            const ssize_t n = ::read(pty.master, buffer.data(), buffer.size());
            if (n > 0)
                received += n;
            if (pauseMicros > 0)
                ::usleep(pauseMicros);
        }
    });

    SerialPort port;
    port.setDevice(1, pty.path);
    port.setCommPort(1);
    port.setSettings(QStringLiteral("115200,N,8,1"));
    FileTable files;
    FileSender sender(port, files);
    QEventLoop loop;
    QObject::connect(&sender, &FileSender::finished, &loop, &QEventLoop::quit);
    QObject::connect(&sender, &FileSender::failed, &loop, &QEventLoop::quit);

    QElapsedTimer clock;
    const double cpuBefore = cpuSeconds();
    clock.start();
    port.setPortOpen(true);
    files.open(1, path, FileTable::Mode::Read, nullptr);
    sender.start(1, files.length(1));
    loop.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    *cpu = cpuSeconds() - cpuBefore;
    files.close(1);
    port.setPortOpen(false);
    senderDone = true;
    reader.join();
    if (received != size) {
        std::printf("send: the far end got %lld of %lld bytes\n", static_cast<long long>(received),
                    static_cast<long long>(size));
        ++failures;
    }
    QFile::remove(path);
    return seconds;
}

double receive(const QString& dir, qint64 size)
{
    const QString path = dir + QStringLiteral("/receive.bin");
    Pty pty;
    SerialPort port;
    port.setDevice(1, pty.path);
    port.setCommPort(1);
    FileTable files;
    FileReceiver receiver(port, files);
    port.setPortOpen(true);
    files.open(1, path, FileTable::Mode::ReadWrite, nullptr);
    receiver.begin(1, path);

    std::thread writer([&] {
        QByteArray block(64 * 1024, 'x');
        for (qint64 done = 0; done < size;) {
            const ssize_t n =
                ::write(pty.master, block.constData(), std::min<qint64>(block.size(), size - done));
            if (n > 0)
                done += n;
            else if (errno == EAGAIN || errno == EINTR)
                ::usleep(100);
            else
                break;
        }
    });
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (receiver.ReceivedCount() + FileReceiver::blockSize > size)
            loop.quit();
    });
    poll.start(1);
    loop.exec();
    writer.join();
    receiver.finish(nullptr);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (QFile(path).size() != size) {
        std::printf("receive: the file holds %lld of %lld bytes\n",
                    static_cast<long long>(QFile(path).size()), static_cast<long long>(size));
        ++failures;
    }
    QFile::remove(path);
    return seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    QTemporaryDir dir;
    constexpr double mib = 1024.0 * 1024.0;

    double cpu = 0;
    const long rssBefore = peakRssKiB();
    const qint64 big = 256LL << 20;
    const double sendSeconds = send(dir.path(), big, 1 << 16, 0, &cpu);
    report("send 256 MiB, throughput", big / mib / sendSeconds, "MiB/s", 20, true);
    report("send 256 MiB, peak memory growth", (peakRssKiB() - rssBefore) / 1024.0, "MiB", 16,
           false);

    // A far end that takes 1 KiB every 4 ms (about 250 KiB/s): the sender should sleep.
    const qint64 slow = 1LL << 20;
    const double slowSeconds = send(dir.path(), slow, 1024, 4000, &cpu);
    report("send on a slow line, CPU share of wall time", 100.0 * cpu / slowSeconds, "%", 25,
           false);

    const qint64 incoming = 64LL << 20;
    const double receiveSeconds = receive(dir.path(), incoming);
    report("receive 64 MiB, throughput", incoming / mib / receiveSeconds, "MiB/s", 10, true);

    return failures == 0 ? 0 : 1;
}
