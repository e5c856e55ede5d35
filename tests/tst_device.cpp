// marlune-device, run as the program that it is: a child process whose device the test opens as
// the program would, as a raw tty, and once through the program's own serial port.
#include "marlunerun.h"
#include "platform/serialport.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString devicePath = QStringLiteral(MARLUNE_DEVICE_PATH);

// Every byte value, many times, in a shuffled order.
QByteArray shuffledByteValues(int rounds)
{
    QByteArray bytes = everyByteValue(rounds);
    QRandomGenerator random(5);
    for (qsizetype i = bytes.size() - 1; i > 0; --i)
        std::swap(bytes[i], bytes[random.bounded(i + 1)]);
    return bytes;
}

// "stored FILE SIZE SHA256", "played ..." and "play-stopped FILE SENT SIZE": the file name may
// hold spaces, the last two fields never do.
struct Announcement
{
    QString file;
    qint64 first = -1;
    QString second;
};

Announcement parse(const QString& line)
{
    const qsizetype kindEnd = line.indexOf(QLatin1Char(' '));
    const qsizetype lastSpace = line.lastIndexOf(QLatin1Char(' '));
    const qsizetype middleSpace = line.lastIndexOf(QLatin1Char(' '), lastSpace - 1);
    if (kindEnd < 0 || middleSpace <= kindEnd)
        return {};
    Announcement result;
    result.file = line.mid(kindEnd + 1, middleSpace - kindEnd - 1);
    result.first = line.mid(middleSpace + 1, lastSpace - middleSpace - 1).toLongLong();
    result.second = line.mid(lastSpace + 1);
    return result;
}

// The virtual device as a child process, and the lines it prints.
class Device
{
public:
    ~Device()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
        }
    }

    // Starts the device and waits for its first line, which names the device.
    bool start(const QStringList& arguments)
    {
        // As from a terminal: a test runner started in the background ignores Ctrl-C, which the
        // device would then ignore too.
        m_process.setChildProcessModifier([] {
            for (const int signal : {SIGINT, SIGTERM, SIGHUP})
                std::signal(signal, SIG_DFL);
        });
        m_process.start(devicePath, arguments);
        if (!m_process.waitForStarted(5000))
            return false;
        const QString first = waitFor(QStringLiteral("device "));
        if (first.isEmpty() || m_lines.indexOf(first) != 0)
            return false;
        m_path = first.mid(7);
        return true;
    }

    QString path() const { return m_path; }
    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }

    // The next line, after those already waited for, that starts with `prefix`; empty when none
    // comes in time.
    QString waitFor(const QString& prefix, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            collect();
            for (; m_next < m_lines.size(); ++m_next) {
                if (m_lines[m_next].startsWith(prefix))
                    return m_lines[m_next++];
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return {};
            m_process.waitForReadyRead(
                static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        }
    }

    // Every line printed so far.
    QStringList lines()
    {
        collect();
        return m_lines;
    }

    // Lines starting with `prefix` printed so far.
    int count(const QString& prefix)
    {
        int n = 0;
        for (const QString& line : lines())
            n += line.startsWith(prefix) ? 1 : 0;
        return n;
    }

    // Processor time the device used so far, in clock ticks.
    qint64 cpuTicks() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        // The fields after the command name, which is in parentheses; utime and stime are the
        // 14th and 15th fields of the line.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
    }

private:
    void collect()
    {
        while (m_process.canReadLine())
            m_lines.append(QString::fromUtf8(m_process.readLine()).chopped(1));
    }

    QProcess m_process;
    QString m_path;
    QStringList m_lines;
    qsizetype m_next = 0;
};

// The program's end of the line: the device opened as a raw tty, as a serial port is.
class ProgramEnd
{
public:
    ~ProgramEnd() { close(); }

    bool open(const QString& path, speed_t speed = B9600)
    {
        close();
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios raw{};
        if (m_fd < 0 || ::tcgetattr(m_fd, &raw) != 0)
            return false;
        ::cfmakeraw(&raw);
        ::cfsetspeed(&raw, speed);
        return ::tcsetattr(m_fd, TCSANOW, &raw) == 0;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool write(const QByteArray& bytes, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, bytes.size() - done);
            if (n > 0) {
                done += n;
                continue;
            }
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || deadline.hasExpired())
                return false;
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
        return true;
    }

    // Reads until `count` bytes came or `timeoutMs` passed.
    QByteArray read(qsizetype count, int timeoutMs = 20000)
    {
        QByteArray out;
        QDeadlineTimer deadline(timeoutMs);
        char buffer[65536];
        while (out.size() < count && !deadline.hasExpired()) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n =
                ::read(m_fd, buffer,
                       static_cast<size_t>(std::min<qsizetype>(sizeof buffer, count - out.size())));
            if (n > 0)
                out.append(buffer, n);
        }
        return out;
    }

    // Whatever arrives within `ms`.
    QByteArray collectFor(int ms) { return read(std::numeric_limits<qsizetype>::max(), ms); }

private:
    int m_fd = -1;
};

} // namespace

class DeviceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString storeDir() const { return m_dir->filePath(QStringLiteral("store")); }
    QString stored(const QString& name) const { return storeDir() + QLatin1Char('/') + name; }
    QStringList storeArgs(int gapMs) const
    {
        return {QStringLiteral("--store"), storeDir(), QStringLiteral("--gap-ms"),
                QString::number(gapMs)};
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void helpNamesEveryOption()
    {
        QProcess help;
        help.start(devicePath, {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished(5000));
        QCOMPARE(help.exitCode(), 0);
        const QString text = QString::fromUtf8(help.readAllStandardOutput());
        for (const char* option :
             {"--store", "--gap-ms", "--play", "--no-play", "--baud", "--link", "--help"})
            QVERIFY2(text.contains(QLatin1String(option)), option);
    }

    void wrongOptionsAreRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown") << QStringList{QStringLiteral("--speed"), QStringLiteral("9600")};
        QTest::newRow("baud not a number") << QStringList{QStringLiteral("--baud=fast")};
        QTest::newRow("baud missing") << QStringList{QStringLiteral("--baud")};
        QTest::newRow("gap zero") << QStringList{QStringLiteral("--gap-ms"), QStringLiteral("0")};
        QTest::newRow("play missing file")
            << QStringList{QStringLiteral("--play"), QStringLiteral("/nonexistent/file")};
        QTest::newRow("argument") << QStringList{QStringLiteral("extra")};
    }

    void wrongOptionsAreRefused()
    {
        QFETCH(QStringList, arguments);
        QProcess device;
        device.start(devicePath, arguments);
        QVERIFY(device.waitForFinished(5000));
        QCOMPARE(device.exitStatus(), QProcess::NormalExit);
        QCOMPARE(device.exitCode(), 2);
        QVERIFY(device.readAllStandardOutput().isEmpty());
        QVERIFY(!device.readAllStandardError().isEmpty());
    }

    void storesEachTransfer_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("one byte") << QByteArray("\0", 1);
        QTest::newRow("small") << pattern(300);
        QTest::newRow("every byte value") << shuffledByteValues(64);
        QTest::newRow("3 MiB") << pattern(3 * 1024 * 1024 + 7);
    }

    void storesEachTransfer()
    {
        QFETCH(QByteArray, bytes);
        Device device;
        QVERIFY(device.start(storeArgs(150)));
        ProgramEnd program;
        QVERIFY(program.open(device.path()));
        QVERIFY(program.write(bytes));
        program.close();

        const Announcement stored = parse(device.waitFor(QStringLiteral("stored ")));
        QCOMPARE(stored.file, this->stored(QStringLiteral("0001.bin")));
        QCOMPARE(stored.first, bytes.size());
        QCOMPARE(stored.second, sha256Hex(bytes));
        QVERIFY(readFile(stored.file) == bytes);
    }

    void quietOpeningsStoreNothing()
    {
        Device device;
        QVERIFY(device.start(storeArgs(100)));
        ProgramEnd program;
        for (int i = 0; i < 3; ++i) {
            QVERIFY(program.open(device.path()));
            QTest::qWait(250);
            program.close();
            QVERIFY(!device.waitFor(QStringLiteral("closed")).isEmpty());
        }
        QCOMPARE(device.count(QStringLiteral("stored")), 0);
        QVERIFY(QDir(storeDir()).isEmpty());

        // The first byte after them starts the first file.
        QVERIFY(program.open(device.path()));
        QVERIFY(program.write("abc"));
        const Announcement stored = parse(device.waitFor(QStringLiteral("stored ")));
        QCOMPARE(stored.file, this->stored(QStringLiteral("0001.bin")));
        QCOMPARE(readFile(stored.file), QByteArray("abc"));
    }

    void numbersFollowTheHighestAndNeverOverwrite()
    {
        QVERIFY(QDir().mkpath(storeDir()));
        QVERIFY(writeFile(stored(QStringLiteral("0007.bin")), "keep"));
        QVERIFY(writeFile(stored(QStringLiteral("notes.txt")), "other"));
        Device device;
        QVERIFY(device.start(storeArgs(100) << QStringLiteral("--no-play")));
        ProgramEnd program;
        QVERIFY(program.open(device.path()));
        // A quiet gap between two sends makes two files, in order.
        QVERIFY(program.write("first"));
        QCOMPARE(parse(device.waitFor(QStringLiteral("stored "))).file,
                 stored(QStringLiteral("0008.bin")));
        QVERIFY(program.write("second"));
        QCOMPARE(parse(device.waitFor(QStringLiteral("stored "))).file,
                 stored(QStringLiteral("0009.bin")));
        QCOMPARE(readFile(stored(QStringLiteral("0007.bin"))), QByteArray("keep"));
        QCOMPARE(readFile(stored(QStringLiteral("0008.bin"))), QByteArray("first"));
        QCOMPARE(readFile(stored(QStringLiteral("0009.bin"))), QByteArray("second"));
    }

    void playsTheGivenFileOncePerOpening()
    {
        const QByteArray bytes = shuffledByteValues(400);
        const QString file = m_dir->filePath(QStringLiteral("backup file.bin"));
        QVERIFY(writeFile(file, bytes));
        Device device;
        QVERIFY(device.start(storeArgs(150) << QStringLiteral("--play") << file));
        ProgramEnd program;
        for (int opening = 0; opening < 2; ++opening) {
            QVERIFY(program.open(device.path()));
            QVERIFY(program.read(bytes.size()) == bytes);
            const Announcement played = parse(device.waitFor(QStringLiteral("played ")));
            QCOMPARE(played.file, file);
            QCOMPARE(played.first, bytes.size());
            QCOMPARE(played.second, sha256Hex(bytes));
            // Once for each opening: staying open and quiet does not bring it again.
            QVERIFY(program.collectFor(500).isEmpty());
            program.close();
        }
        QCOMPARE(device.count(QStringLiteral("played ")), 2);
    }

    void playsBackTheLastFileStored()
    {
        const QByteArray bytes = shuffledByteValues(40);
        Device device;
        QVERIFY(device.start(storeArgs(150)));
        ProgramEnd program;
        QVERIFY(program.open(device.path()));
        QVERIFY(program.write(bytes));
        program.close();
        const Announcement stored = parse(device.waitFor(QStringLiteral("stored ")));

        QVERIFY(program.open(device.path()));
        QVERIFY(program.read(bytes.size()) == bytes);
        const Announcement played = parse(device.waitFor(QStringLiteral("played ")));
        QCOMPARE(played.file, stored.file);
        QCOMPARE(played.second, sha256Hex(bytes));
    }

    void nothingIsPlayedToAProgramThatSends()
    {
        Device device;
        QVERIFY(device.start(storeArgs(100)));
        ProgramEnd program;
        QVERIFY(program.open(device.path()));
        QVERIFY(program.write(pattern(1000)));
        QVERIFY(!device.waitFor(QStringLiteral("stored ")).isEmpty());
        // The port stays open and quiet, with a file to play: it is not played in this opening.
        QVERIFY(program.collectFor(400).isEmpty());
        QCOMPARE(device.count(QStringLiteral("played")), 0);
    }

    void closingDuringAPlayDropsWhatWasNotRead()
    {
        const QByteArray bytes = pattern(1024 * 1024);
        const QString file = m_dir->filePath(QStringLiteral("big.bin"));
        QVERIFY(writeFile(file, bytes));
        Device device;
        QVERIFY(device.start(storeArgs(100) << QStringLiteral("--play") << file));
        ProgramEnd program;
        QVERIFY(program.open(device.path()));
        QVERIFY(!program.read(1).isEmpty());
        program.close();
        const Announcement stopped = parse(device.waitFor(QStringLiteral("play-stopped ")));
        QCOMPARE(stopped.file, file);
        QVERIFY(stopped.first > 0 && stopped.first < bytes.size());

        // The next opening gets the whole file from its start, and nothing left from before.
        QVERIFY(program.open(device.path()));
        QVERIFY(program.read(bytes.size()) == bytes);
        QVERIFY(!device.waitFor(QStringLiteral("played ")).isEmpty());
    }

    void reopeningAtOnceDuringAPlayStartsItAfresh()
    {
        // A close followed at once by an open must still be seen as both: the rest of the
        // interrupted play must not run on into the new opening.
        const QByteArray bytes = pattern(256 * 1024);
        const QString file = m_dir->filePath(QStringLiteral("big.bin"));
        QVERIFY(writeFile(file, bytes));
        Device device;
        QVERIFY(device.start(storeArgs(100) << QStringLiteral("--play") << file));
        ProgramEnd program;
        for (int round = 0; round < 20; ++round) {
            QVERIFY(program.open(device.path()));
            QVERIFY(!program.read(1).isEmpty());
            QVERIFY(program.open(device.path())); // closes, then opens again at once
            // Once the device has seen the close, the new opening holds nothing from before.
            QVERIFY2(!device.waitFor(QStringLiteral("play-stopped ")).isEmpty(),
                     qPrintable(QStringLiteral("round %1").arg(round)));
            const QByteArray got = program.read(bytes.size());
            QVERIFY2(got == bytes, qPrintable(QStringLiteral("round %1").arg(round)));
        }
    }

    void pacesBothDirections_data()
    {
        // The line runs at 4800 baud either way, slower than any speed the device could take
        // by mistake (the program's, or the 9600 that `auto` starts with).
        QTest::addColumn<QString>("baud");
        QTest::addColumn<speed_t>("programSpeed");
        QTest::newRow("fixed, not the program's") << QStringLiteral("4800") << speed_t(B115200);
        QTest::newRow("auto, the program's") << QStringLiteral("auto") << speed_t(B4800);
    }

    void pacesBothDirections()
    {
        // Pacing can only make a transfer slower than the line's nominal time, never faster; a
        // wrong speed or none shows as a transfer that is too fast. How much slower it is
        // depends on the machine's load: speed figures are for the benchmarks.
        QFETCH(QString, baud);
        QFETCH(speed_t, programSpeed);
        constexpr int gapMs = 150;
        const QByteArray bytes = pattern(240);
        const double nominalMs = bytes.size() * 1000.0 / 480;
        Device device;
        QVERIFY(device.start(storeArgs(gapMs) << QStringLiteral("--baud") << baud));
        ProgramEnd program;

        QVERIFY(program.open(device.path(), programSpeed));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(program.write(bytes));
        const Announcement stored = parse(device.waitFor(QStringLiteral("stored ")));
        const qint64 storeMs = timer.elapsed() - gapMs;
        program.close();
        QCOMPARE(stored.first, bytes.size());
        QVERIFY2(storeMs >= 0.9 * nominalMs, qPrintable(QStringLiteral("took %1 ms").arg(storeMs)));

        QVERIFY(program.open(device.path(), programSpeed));
        const QByteArray first = program.read(1);
        QCOMPARE(first.size(), 1);
        timer.start();
        const QByteArray rest = program.read(bytes.size() - 1);
        const qint64 playMs = timer.elapsed();
        QVERIFY(first + rest == bytes);
        QVERIFY2(playMs >= 0.9 * nominalMs, qPrintable(QStringLiteral("took %1 ms").arg(playMs)));
    }

    void roundTripThroughTheProgramsSerialPort()
    {
        // QSerialPort takes the device for itself (TIOCEXCL) and a lock file; the device must
        // still see it come and go, and clean up after it.
        const QByteArray bytes = shuffledByteValues(100);
        Device device;
        QVERIFY(device.start(storeArgs(150)));
        SerialPort port;
        port.ports().mapForRun({{1, device.path()}});
        QVERIFY(port.setCommPort(1));
        QVERIFY(port.setSettings(QStringLiteral("115200,N,8,1")));
        QString error;
        QVERIFY2(port.setPortOpen(true, &error), qPrintable(error));
        QSignalSpy drained(&port.output(), &SerialOutput::drained);
        QVERIFY(port.output().write(bytes));
        QVERIFY(drained.wait(10000));
        port.setPortOpen(false);
        const Announcement stored = parse(device.waitFor(QStringLiteral("stored ")));
        QCOMPARE(stored.second, sha256Hex(bytes));

        QByteArray received;
        QVERIFY2(port.setPortOpen(true, &error), qPrintable(error));
        port.input().setConsumer(
            [&](QByteArrayView arrived, bool) {
                received += arrived.toByteArray();
                return arrived.size();
            },
            {});
        QVERIFY(QTest::qWaitFor([&] { return received.size() >= bytes.size(); }, 10000));
        QVERIFY(received == bytes);
        port.setPortOpen(false);
        QVERIFY(!device.waitFor(QStringLiteral("closed")).isEmpty());
    }

    void roundTripThroughTheCommandLine()
    {
        // A file goes out with `marlune send`, the device stores it, and `marlune receive` gets
        // it back when the device plays its last file.
        const QByteArray bytes = shuffledByteValues(8) + pattern(1 << 20);
        const QString sent = m_dir->filePath(QStringLiteral("load.bin"));
        const QString back = m_dir->filePath(QStringLiteral("backup.bin"));
        QVERIFY(writeFile(sent, bytes));
        Device device;
        QVERIFY(device.start(storeArgs(300)));
        const QStringList port{QStringLiteral("--com1"), device.path(), QStringLiteral("--port"),
                               QStringLiteral("1")};

        MarluneRun send(QStringList{QStringLiteral("send"), sent} + port);
        QVERIFY(send.waitForExit());
        QVERIFY2(send.exitedWith(0), qPrintable(send.describeEnd() + send.errorText()));
        const Announcement stored = parse(device.waitFor(QStringLiteral("stored ")));
        QCOMPARE(stored.first, bytes.size());
        QCOMPARE(stored.second, sha256Hex(bytes));
        QVERIFY(send.errorText().contains(sha256Hex(bytes)));

        MarluneRun receive(QStringList{QStringLiteral("receive"), back, QStringLiteral("--idle"),
                                       QStringLiteral("1")} +
                           port);
        QVERIFY(receive.waitForExit(60000));
        QVERIFY2(receive.exitedWith(0), qPrintable(receive.describeEnd() + receive.errorText()));
        QVERIFY(!device.waitFor(QStringLiteral("played ")).isEmpty());
        QVERIFY(readFile(back) == bytes);
        QVERIFY(receive.errorText().contains(sha256Hex(bytes)));
    }

    void survivesOpeningAndClosingOften()
    {
        Device device;
        QVERIFY(device.start(storeArgs(100)));
        ProgramEnd program;
        for (int i = 0; i < 20; ++i) {
            QVERIFY(program.open(device.path()));
            if (i % 2 == 0)
                QVERIFY(!device.waitFor(QStringLiteral("opened")).isEmpty());
            program.close();
            QVERIFY(!device.waitFor(QStringLiteral("closed")).isEmpty());
        }
        QCOMPARE(device.count(QStringLiteral("opened")), 20);

        // Two at once are one opening, which ends with the last close.
        ProgramEnd second;
        QVERIFY(program.open(device.path()));
        QVERIFY(second.open(device.path()));
        second.close();
        QVERIFY(!device.waitFor(QStringLiteral("opened")).isEmpty());
        QTest::qWait(100);
        QCOMPARE(device.count(QStringLiteral("opened")), 21);
        QCOMPARE(device.count(QStringLiteral("closed")), 20);
        program.close();
        QVERIFY(!device.waitFor(QStringLiteral("closed")).isEmpty());

        // Idle with the port closed, it sleeps.
        const qint64 before = device.cpuTicks();
        QTest::qWait(500);
        QVERIFY(before >= 0 && device.cpuTicks() - before <= 5);

        const QByteArray bytes = pattern(70000);
        QVERIFY(program.open(device.path()));
        QVERIFY(program.write(bytes));
        program.close();
        const Announcement stored = parse(device.waitFor(QStringLiteral("stored ")));
        QCOMPARE(stored.second, sha256Hex(bytes));
        QVERIFY(readFile(stored.file) == bytes);
    }

    void endsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void endsCleanlyOnSignal()
    {
        QFETCH(int, signal);
        const QString link = m_dir->filePath(QStringLiteral("com1"));
        Device device;
        // A long gap and a slow line: the transfer is still arriving when the signal comes.
        QVERIFY(device.start(storeArgs(60000)
                             << QStringLiteral("--link") << link << QStringLiteral("--baud")
                             << QStringLiteral("9600")));
        QCOMPARE(QFileInfo(link).symLinkTarget(), device.path());
        ProgramEnd program;
        QVERIFY(program.open(device.path()));
        const QByteArray bytes = pattern(3000);
        QVERIFY(program.write(bytes));
        QTest::qWait(200);

        QCOMPARE(::kill(static_cast<pid_t>(device.pid()), signal), 0);
        QVERIFY(device.process().waitForFinished(5000));
        QCOMPARE(device.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(device.process().exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
        // Every byte the program had written is kept.
        const Announcement stored = parse(device.waitFor(QStringLiteral("stored ")));
        QCOMPARE(stored.first, bytes.size());
        QVERIFY(readFile(stored.file) == bytes);
    }
};

QTEST_GUILESS_MAIN(DeviceTest)
#include "tst_device.moc"
