#include "platform/serialport.h"
#include "ptypair.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/serial.h>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A descriptor this process already holds on the device (the port's or the pty pair's), to look
// at the device behind the component's back.
int descriptorOf(const QString& path)
{
    for (int fd = 0; fd < 1024; ++fd) {
        const char* name = ::ttyname(fd);
        if (name && path == QString::fromLocal8Bit(name))
            return fd;
    }
    return -1;
}

// Waits, without running the event loop, until the kernel holds input for the device.
bool waitReadable(const QString& path)
{
    pollfd p{descriptorOf(path), POLLIN, 0};
    return p.fd >= 0 && ::poll(&p, 1, 10000) == 1;
}

// A consumer that takes at most `room` bytes in all and `perOffer` at a time, and notes where in
// its stream each offer ended and when.
struct Recorder
{
    QByteArray taken;
    bool final = false;
    qint64 room = std::numeric_limits<qint64>::max();
    qint64 perOffer = room;
    QList<qint64> ends;
    QList<qint64> times;
    QElapsedTimer clock;

    SerialInput::Consumer consumer()
    {
        clock.start();
        return [this](QByteArrayView bytes, bool isFinal) {
            const qint64 count = std::min({qint64(bytes.size()), room, perOffer});
            taken += bytes.first(count).toByteArray();
            room -= count;
            final = final || isFinal;
            ends << taken.size();
            times << clock.elapsed();
            return count;
        };
    }
};

} // namespace

class SerialPortTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<SerialPort> m_port;

    bool openOnPty(QString* error = nullptr) { return m_port->setPortOpen(true, error); }
    bool openAt(int speed)
    {
        return m_port->setSettings(LineSettings::plain(speed)) && m_port->setPortOpen(true);
    }

private slots:
    // Every case gets a fresh pty, mapped as COM1.
    void init()
    {
        m_port.reset(); // before the pty it holds
        m_pty = std::make_unique<PtyPair>();
        QVERIFY(m_pty->isValid());
        m_port = std::make_unique<SerialPort>();
        m_port->ports().mapForRun({{1, m_pty->devicePath()}});
        QVERIFY(m_port->setCommPort(1));
    }

    void portNumbersNameDevices()
    {
        SerialPort fresh;
        QCOMPARE(fresh.ports().device(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(fresh.ports().device(2), QStringLiteral("/dev/ttyS1"));
        for (const int bad : {0, 3, -1})
            QVERIFY(!fresh.setCommPort(bad));
        QCOMPARE(fresh.CommPort(), 2);

        // Each number reaches its own device, whichever is mapped where.
        PtyPair other;
        m_port->ports().mapForRun({{2, other.devicePath()}});
        QCOMPARE(m_port->ports().device(1), m_pty->devicePath());
        QVERIFY(m_port->setCommPort(2));
        QVERIFY(openOnPty());
        QVERIFY(m_port->output().write("two"));
        QCOMPARE(other.readExactly(3), QByteArray("two"));
        QVERIFY(m_pty->readAvailable().isEmpty());
        QVERIFY(!m_port->setCommPort(1));
        QCOMPARE(m_port->CommPort(), 2);
        // Closed while `other` still holds its pty, so that no run beside ours is given that pty
        // number while our lock on it lingers.
        QVERIFY(m_port->setPortOpen(false));
    }

    void settingsAreCheckedAndApplied()
    {
        // A quarter second of line time per chunk handed over, so progress shows four times a
        // second, within 1 to 4096 bytes.
        QList<int> sizes;
        for (const int speed : {50, 1200, 2400, 9600, 57600, 115200, 921600, 12000000}) {
            QVERIFY(m_port->setSettings(LineSettings::plain(speed)));
            sizes << m_port->output().OutBufferSize();
        }
        QCOMPARE(sizes, (QList<int>{1, 30, 60, 240, 1440, 2880, 4096, 4096}));
        QVERIFY(!m_port->setSettings(LineSettings::plain(12000001)));

        const QStringList unparsable{QString(),    "9600",       "fast,N,8,1", "-9600,N,8,1",
                                     "9600,X,8,1", "9600,N,9,1", "9600,N,8,3"};
        QVERIFY(m_port->setSettings(QStringLiteral("19200,E,8,1")));
        for (const bool open : {false, true}) {
            QVERIFY(m_port->setPortOpen(open));
            for (const QString& settings : unparsable) {
                QString error;
                QVERIFY2(!m_port->setSettings(settings, &error) && !error.isEmpty(),
                         qPrintable(settings));
                QCOMPARE(m_port->Settings(), QStringLiteral("19200,E,8,1"));
                QCOMPARE(m_port->line().speed, 19200);
            }
        }

        QVERIFY(m_port->setSettings(QStringLiteral("19200,O,8,2")));
        QCOMPARE(m_port->Settings(), QStringLiteral("19200,O,8,2"));
        const int fd = descriptorOf(m_pty->devicePath());
        termios line{};
        QVERIFY(::tcgetattr(fd, &line) == 0);
        // A pty keeps the speed and stop bits it is given, though not the parity.
        QCOMPARE(cfgetospeed(&line), speed_t(B19200));
        QVERIFY(line.c_cflag & CSTOPB);
        // Flow control reaches the open device and leaves the rest of the line as it was.
        QVERIFY(m_port->setFlowControl(LineSettings::Flow::RtsCts));
        QVERIFY(::tcgetattr(fd, &line) == 0);
        QVERIFY((line.c_cflag & CRTSCTS) && !(line.c_iflag & (IXON | IXOFF)));
        QVERIFY(m_port->setFlowControl(LineSettings::Flow::XonXoff));
        QVERIFY(m_port->setSettings(QStringLiteral("19200,N,8,2")));
        QVERIFY(::tcgetattr(fd, &line) == 0);
        QVERIFY(!(line.c_cflag & CRTSCTS) && (line.c_iflag & IXON) && (line.c_iflag & IXOFF));
        QCOMPARE(cfgetospeed(&line), speed_t(B19200));
        QVERIFY(m_port->setFlowControl(LineSettings::Flow::None));
        QVERIFY(m_port->setSettings(QStringLiteral("19200,O,8,2")));
        // A value the open device cannot take must not leave part of it applied. Linux ptys only
        // carry 8 data bits, which gives us such a value here.
        QString error;
        if (m_port->setSettings(QStringLiteral("9600,N,7,1"), &error))
            QSKIP("This kernel's ptys take 7 data bits; no refused value to try.");
        QVERIFY(error.contains(m_port->describe()));
        QCOMPARE(m_port->Settings(), QStringLiteral("19200,O,8,2"));
        QVERIFY(::tcgetattr(fd, &line) == 0);
        QCOMPARE(cfgetospeed(&line), speed_t(B19200));
    }

    void lowLatencyIsRefusedWithAReasonWhereTheDriverHasNone()
    {
        QString why;
        QVERIFY(!m_port->setLowLatency(true, &why));
        QVERIFY(!why.isEmpty());
        // A pseudo-terminal has neither the serial flags nor a latency timer: the request says
        // so, and the line goes on as before.
        QVERIFY(openOnPty());
        why.clear();
        QVERIFY(!m_port->setLowLatency(true, &why));
        QVERIFY2(why.contains(QStringLiteral("serial flags")) &&
                     why.contains(QStringLiteral("latency timer")),
                 qPrintable(why));
        QVERIFY(m_port->setLowLatency(false));
        QVERIFY(m_port->output().write("still"));
        QCOMPARE(m_pty->readExactly(5), QByteArray("still"));
    }

    void lowLatencyOnARealDriverIsPutBack()
    {
        // Only a real driver has the settings: the virtual machine rig names its devices here.
        const QString device = qEnvironmentVariable("MARLUNE_REAL_DEVICE");
        if (device.isEmpty())
            QSKIP("Needs a real serial driver: MARLUNE_REAL_DEVICE (set by the VM rig).");
        const QString timer = QStringLiteral("/sys/class/tty/%1/device/latency_timer")
                                  .arg(QFileInfo(device).fileName());
        const auto timerValue = [&timer] {
            QFile file(timer);
            return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
        };
        // A descriptor of our own, to look at the driver's flags behind the port's back.
        const int fd = ::open(QFile::encodeName(device).constData(),
                              O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        const auto lowFlag = [fd] {
            serial_struct serial{};
            return ::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY);
        };
        const QByteArray timerBefore = timerValue();
        const bool flagBefore = lowFlag();

        SerialPort port;
        port.ports().mapForRun({{1, device}});
        QVERIFY(port.setCommPort(1));
        QVERIFY(port.setPortOpen(true));
        QString why;
        QVERIFY2(port.setLowLatency(true, &why), qPrintable(why));
        QVERIFY(lowFlag());
        if (!timerBefore.isEmpty())
            QCOMPARE(timerValue(), QByteArray("1"));
        // The close puts back what the driver had.
        QVERIFY(port.setPortOpen(false));
        QCOMPARE(lowFlag(), flagBefore);
        QCOMPARE(timerValue(), timerBefore);
        qInfo("%s: latency timer %s, low-latency flag %d", qPrintable(device),
              timerBefore.isEmpty() ? "none" : timerBefore.constData(), int(flagBefore));
    }

    void allByteValuesPassBothWays()
    {
        QVERIFY(openAt(115200));
        Recorder in;
        m_port->input().setConsumer(in.consumer(), {});
        const QByteArray bytes = everyByteValue(4);
        QVERIFY(m_port->output().write(bytes));
        QCOMPARE(m_pty->readExactly(bytes.size()), bytes);
        QVERIFY(m_pty->write(bytes));
        QTRY_COMPARE(in.taken, bytes);
        QVERIFY(!in.final);
        QVERIFY(m_pty->collectFor(100).isEmpty()); // nothing echoed back
    }

    void openFailures()
    {
        // A name for this run alone: no other run's attempt on it holds its lock file meanwhile.
        const QString missing =
            QStringLiteral("/nonexistent/ttyMissing%1").arg(QCoreApplication::applicationPid());
        QString error;
        m_port->ports().mapForRun({{1, missing}});
        QVERIFY(!openOnPty(&error));
        QVERIFY2(error.contains(QStringLiteral("COM1 (%1)").arg(missing)) &&
                     error.contains(QStringLiteral("No such file")),
                 qPrintable(error));

        // Qt's lock file keeps out a second program, even where root passes TIOCEXCL.
        m_port->ports().mapForRun({{1, m_pty->devicePath()}});
        QSerialPort holder;
        holder.setPortName(m_pty->devicePath());
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
        QVERIFY(!openOnPty(&error));
        QVERIFY2(error.contains(m_port->describe()) &&
                     error.contains(QStringLiteral("lock"), Qt::CaseInsensitive),
                 qPrintable(error));
        QVERIFY(!m_port->PortOpen());
        holder.close();

        QVERIFY(openOnPty());
        QVERIFY(!openOnPty(&error));
        QVERIFY2(error.contains(QStringLiteral("already open")), qPrintable(error));
        // The refused second open leaves the first one working.
        QVERIFY(m_port->output().write("still"));
        QCOMPARE(m_pty->readExactly(5), QByteArray("still"));
    }

    void holdsTheDeviceAloneAndLetsGo()
    {
        // A link to the device (as /dev/serial/by-id/... is to /dev/ttyUSB0) is the same line:
        // a second program must not get part of the stream through it, not even as root.
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("by-id-link"));
        QVERIFY(QFile::link(m_pty->devicePath(), link));
        for (const bool viaLinkFirst : {false, true}) {
            SerialPort first;
            SerialPort second;
            first.ports().mapForRun({{1, viaLinkFirst ? link : m_pty->devicePath()}});
            second.ports().mapForRun({{1, viaLinkFirst ? m_pty->devicePath() : link}});
            QVERIFY(first.setCommPort(1) && second.setCommPort(1));
            QString error;
            QVERIFY2(first.setPortOpen(true, &error), qPrintable(error));
            QVERIFY(!second.setPortOpen(true, &error));
            QVERIFY2(error.contains(QStringLiteral("locked")), qPrintable(error));
            QVERIFY(first.setPortOpen(false));
            QVERIFY2(second.setPortOpen(true, &error), qPrintable(error));
        }

        // Open and close cycles leave no descriptor, nor the lock for another program.
        const auto descriptors = [] {
            return QDir(QStringLiteral("/proc/self/fd"), {}, QDir::NoSort,
                        QDir::AllEntries | QDir::System)
                .count();
        };
        const auto before = descriptors();
        for (int i = 0; i < 20; ++i) {
            QVERIFY(openOnPty());
            QVERIFY(m_port->output().write(QByteArray(1, char(i))));
            QCOMPARE(m_pty->readExactly(1), QByteArray(1, char(i)));
            QVERIFY(m_port->setPortOpen(false));
        }
        QCOMPARE(descriptors(), before);
        QSerialPort other;
        other.setPortName(m_pty->devicePath());
        QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
    }

    void outputLeavesOnlyAsFarEndReads_data()
    {
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<bool>("discard");
        QTest::newRow("read by the far end") << 0 << false;
        // A source that paused: the idle line carried nothing meanwhile.
        QTest::newRow("after an idle pause") << 1500 << false;
        QTest::newRow("discarded") << 0 << true;
    }
    void outputLeavesOnlyAsFarEndReads()
    {
        QFETCH(int, pauseMs);
        QFETCH(bool, discard);
        QVERIFY(openAt(9600));
        SerialOutput& out = m_port->output();
        QSignalSpy drained(&out, &SerialOutput::drained);
        if (pauseMs > 0) {
            QVERIFY(out.write("early"));
            QCOMPARE(m_pty->readExactly(5), QByteArray("early"));
            QTRY_COMPARE(drained.count(), 1);
            QTest::qWait(pauseMs);
            drained.clear();
        }
        const qint64 before = out.written();

        // Far more than the pty holds, and the far end does not read: the system swallows tens
        // of kilobytes at once, which a line of 960 bytes a second could not have carried.
        const QByteArray data = pattern(100 * 1024);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(out.write(data));
        const auto carriedAtMost = [&] {
            return before + out.OutBufferSize() + 2 * 960 * (clock.elapsed() + 1) / 1000;
        };
        QTRY_VERIFY(out.written() > carriedAtMost() + 8 * 1024);
        for (int look = 0; look < 2; ++look) {
            const SerialOutput::Left left = out.left();
            QVERIFY(!left.exact);
            QVERIFY2(left.bytes <= carriedAtMost(), qPrintable(QString::number(left.bytes)));
            QVERIFY(out.written() < before + data.size());
            QTest::qWait(200);
        }
        QCOMPARE(drained.count(), 0);

        if (discard) {
            // What the system held goes too: the far end gets at most what its own side had
            // taken, and the account of what left stands still.
            const qint64 handed = out.written();
            out.discard();
            const qint64 written = out.written();
            const qint64 left = out.left().bytes;
            const QByteArray arrived = m_pty->collectFor(300);
            QVERIFY(arrived.size() < handed);
            QCOMPARE(arrived, data.left(arrived.size()));
            QCOMPARE(out.left().bytes, left);
            QCOMPARE(out.written(), written);
            QCOMPARE(drained.count(), 0);
        } else {
            QCOMPARE(m_pty->readExactly(data.size()), data);
            QTRY_COMPARE(drained.count(), 1);
            QCOMPARE(out.written(), before + data.size());
        }
        // The next write goes out on its own; an empty one still reports the drained line.
        const qsizetype drains = drained.count();
        QVERIFY(out.write("next"));
        QCOMPARE(m_pty->readExactly(4), QByteArray("next"));
        QTRY_COMPARE(drained.count(), drains + 1);
        QVERIFY(out.write(QByteArray()));
        QTRY_COMPARE(drained.count(), drains + 2);
    }

    void fastLineKeepsItsSpeed()
    {
        // 400000 bytes a second nominal, on a pty the far end reads as fast as it can: what went
        // through beyond all the system could hold has left the line, whatever the nominal speed.
        QVERIFY(openAt(4000000));
        SerialOutput& out = m_port->output();
        QSignalSpy drained(&out, &SerialOutput::drained);
        const QByteArray data = pattern(4 * 1024 * 1024);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(out.write(data));
        QVERIFY(m_pty->readExactly(data.size()) == data);
        QTRY_COMPARE(drained.count(), 1);
        const SerialOutput::Left left = out.left();
        const qint64 carriedAtMost = 4096 + 400000 * (clock.elapsed() + 1) / 1000;
        QCOMPARE(out.written(), qint64(data.size()));
        QVERIFY(!left.exact);
        const qint64 held = data.size() - SerialOutput::unreportedQueueLimit;
        QVERIFY2(left.bytes >= held && left.bytes <= std::max(held, carriedAtMost),
                 qPrintable(QString::number(left.bytes)));
    }

    void tailRuleOffersInBatchesAndAgedTails()
    {
        constexpr qint64 batch = 256 * 1024;
        QVERIFY(openOnPty());
        Recorder in;
        m_port->input().setConsumer(in.consumer(), {batch, 50});

        // A few bytes wait in the port until they have aged.
        QVERIFY(m_pty->write("tail"));
        QTRY_COMPARE(in.taken, QByteArray("tail"));
        QVERIFY(in.times.first() >= 45);

        // A fast stream: batches end on multiples of the batch in all the consumer took. Only
        // once the stream's first byte could have aged may an offer end elsewhere.
        const QByteArray stream = pattern(3 * batch + 1000);
        in.ends.clear();
        in.times.clear();
        in.clock.restart();
        QVERIFY(m_pty->write(stream));
        QTRY_COMPARE(in.taken.size(), 4 + stream.size());
        QVERIFY(in.taken.mid(4) == stream);
        QCOMPARE(in.ends.last(), in.taken.size());
        QVERIFY(in.times.last() >= 45);
        for (qsizetype i = 0; i + 1 < in.ends.size(); ++i)
            QVERIFY2(in.ends[i] % batch == 0 || in.times[i] >= 45, qPrintable(QString::number(i)));
        QVERIFY(!in.final);
    }

    void consumerWithoutRoomKeepsTheRest()
    {
        QVERIFY(openOnPty());
        SerialInput& input = m_port->input();
        Recorder in;
        in.room = 3;
        input.setConsumer(in.consumer(), {});
        QByteArray sent("abcdefghij");
        QVERIFY(m_pty->write(sent));
        QTRY_COMPARE(input.waiting(), qint64(7));
        QCOMPARE(in.taken, QByteArray("abc"));
        // Offering the same bytes again to a consumer without room would only spin.
        const qsizetype offers = in.ends.size();
        QTest::qWait(100);
        QCOMPARE(in.ends.size(), offers);
        in.room = 4;
        input.offer();
        QCOMPARE(in.taken, QByteArray("abcdefg"));
        QCOMPARE(input.waiting(), qint64(3));

        // A stream taken a little at a time, while more arrives behind what waits.
        in.room = std::numeric_limits<qint64>::max();
        in.perOffer = 1000;
        sent += pattern(300 * 1024);
        QVERIFY(m_pty->write(sent.mid(10)));
        QTRY_COMPARE(in.taken.size() + input.waiting(), sent.size());
        for (int i = 0; input.waiting() > 0 && i < 1000; ++i)
            input.offer();
        QVERIFY(in.taken == sent);
        QVERIFY(!in.final);
    }

    void consumerRunningEventLoopIsNotReentered()
    {
        // A consumer that shows a message box runs a nested event loop while more bytes arrive,
        // and still holds the bytes it was offered.
        QVERIFY(openOnPty());
        int depth = 0;
        int deepest = 0;
        bool arrivedMeanwhile = false;
        QByteArray taken;
        const auto waits = [&] { return m_port->input().waiting(); };
        m_port->input().setConsumer(
            [&](QByteArrayView bytes, bool) {
                deepest = std::max(deepest, ++depth);
                if (taken.isEmpty()) {
                    arrivedMeanwhile = m_pty->write(pattern(70 * 1024)) &&
                                       QTest::qWaitFor([&] { return waits() > bytes.size(); });
                    QTest::qWait(50);
                }
                taken += bytes.toByteArray();
                --depth;
                return bytes.size();
            },
            {});
        QVERIFY(m_pty->write("first"));
        QTRY_COMPARE(taken.size(), 5 + 70 * 1024);
        QCOMPARE(taken, QByteArray("first") + pattern(70 * 1024));
        QVERIFY(arrivedMeanwhile);
        QCOMPARE(deepest, 1);
    }

    void withoutConsumerArrivalsAreThrownAway()
    {
        // A device echoing what we send: read at once, so it does not fill the system, and
        // never handed to a reception that starts later.
        QVERIFY(openOnPty());
        SerialInput& input = m_port->input();
        QVERIFY(m_pty->write("nobody's"));
        QVERIFY(waitReadable(m_pty->devicePath()));
        int held = -1;
        QTRY_VERIFY(::ioctl(descriptorOf(m_pty->devicePath()), FIONREAD, &held) == 0 && !held);
        QCOMPARE(input.waiting(), qint64(0));

        // With a batch never reached and no tail, only `collect` offers; it reads what the
        // system holds, with no turn of the event loop between.
        Recorder in;
        input.setConsumer(in.consumer(), {1 << 20, 0});
        QVERIFY(m_pty->write("last bytes"));
        QVERIFY(waitReadable(m_pty->devicePath()));
        input.collect();
        QCOMPARE(in.taken, QByteArray("last bytes"));
        QVERIFY(in.final);

        // Clearing the consumer drops what waits for it.
        QVERIFY(m_pty->write("dropped"));
        QTRY_COMPARE(input.waiting(), qint64(7));
        input.clearConsumer();
        QCOMPARE(input.waiting(), qint64(0));
    }

    void portEndOffersInputAndDropsOutput_data()
    {
        QTest::addColumn<bool>("farEndCloses");
        QTest::addColumn<bool>("sending");
        QTest::newRow("far end closed, idle") << true << false;
        QTest::newRow("far end closed, sending") << true << true;
        QTest::newRow("closed while sending") << false << true;
    }
    void portEndOffersInputAndDropsOutput()
    {
        QFETCH(bool, farEndCloses);
        QFETCH(bool, sending);
        QVERIFY(openOnPty());
        // What arrived and was not offered yet reaches the consumer as the port ends.
        Recorder in;
        m_port->input().setConsumer(in.consumer(), {1 << 20, 0});
        QSignalSpy lost(m_port.get(), &SerialPort::deviceLost);
        QSignalSpy drained(&m_port->output(), &SerialOutput::drained);
        QVERIFY(m_pty->write("unread"));
        QTRY_COMPARE(m_port->input().waiting(), qint64(6));
        const QByteArray data = pattern(1024 * 1024);
        if (sending) {
            QVERIFY(m_port->output().write(data));
            QTRY_VERIFY(m_port->output().written() > 0);
        }

        if (farEndCloses) {
            m_pty->closeMaster();
            QTRY_COMPARE(lost.count(), 1);
            const QString reason = lost.first().first().toString();
            QVERIFY2(reason.contains(m_port->describe()), qPrintable(reason));
            // A hang-up is not worded with the errno an earlier call left behind.
            QVERIFY2(!reason.contains(QString::fromLocal8Bit(::strerror(ENOTTY))),
                     qPrintable(reason));
        } else {
            QVERIFY(m_port->setPortOpen(false));
        }
        QVERIFY(!m_port->PortOpen());
        QCOMPARE(in.taken, QByteArray("unread"));
        QVERIFY(in.final);
        QCOMPARE(m_port->input().waiting(), qint64(0));
        QVERIFY(!m_port->output().write("x"));

        QByteArray arrived = m_pty->collectFor(300);
        // Opening again must not send what the close gave up.
        if (!farEndCloses) {
            QVERIFY(openOnPty());
            arrived += m_pty->collectFor(200);
        }
        QVERIFY(arrived.size() < data.size());
        QCOMPARE(arrived, data.left(arrived.size()));
        QCOMPARE(lost.count(), farEndCloses ? 1 : 0);
        QCOMPARE(drained.count(), 0);
        QCOMPARE(in.taken, QByteArray("unread"));
    }
};

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_serialport.moc"
