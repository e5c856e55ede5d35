#include "platform/serialport.h"
#include "ptypair.h"
#include "testfiles.h"

#include <QDir>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                                .size());
}

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

bool deviceTermios(const QString& path, termios* out)
{
    const int fd = descriptorOf(path);
    return fd >= 0 && ::tcgetattr(fd, out) == 0;
}

// Waits, without running the event loop, until the kernel holds input for the device.
bool waitReadable(const QString& path)
{
    pollfd p{descriptorOf(path), POLLIN, 0};
    return p.fd >= 0 && ::poll(&p, 1, 10000) == 1;
}

} // namespace

class SerialPortTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<SerialPort> m_port;

    bool openOnPty(QString* error = nullptr) { return m_port->setPortOpen(true, error); }

private slots:
    // Every case gets a fresh pty, mapped as COM1.
    void init()
    {
        m_pty = std::make_unique<PtyPair>();
        QVERIFY(m_pty->isValid());
        m_port = std::make_unique<SerialPort>();
        m_port->ports().mapForRun({{1, m_pty->devicePath()}});
        QVERIFY(m_port->setCommPort(1));
    }
    void cleanup()
    {
        m_port.reset();
        m_pty.reset();
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
        QVERIFY(m_port->Output("two"));
        QCOMPARE(other.readExactly(3), QByteArray("two"));

        QVERIFY(m_pty->readAvailable().isEmpty());
        QVERIFY(!m_port->setCommPort(1));
        QCOMPARE(m_port->CommPort(), 2);
    }

    void unparsableSettingsAreRefused_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::newRow("empty") << QString();
        QTest::newRow("speed only") << QStringLiteral("9600");
        QTest::newRow("speed not a number") << QStringLiteral("fast,N,8,1");
        QTest::newRow("speed negative") << QStringLiteral("-9600,N,8,1");
        QTest::newRow("parity") << QStringLiteral("9600,X,8,1");
        QTest::newRow("data bits") << QStringLiteral("9600,N,9,1");
        QTest::newRow("stop bits") << QStringLiteral("9600,N,8,3");
    }

    void unparsableSettingsAreRefused()
    {
        QFETCH(QString, settings);
        QVERIFY(m_port->setSettings(QStringLiteral("19200,E,8,1")));
        for (const bool open : {false, true}) {
            QVERIFY(m_port->setPortOpen(open));
            QString error;
            QVERIFY(!m_port->setSettings(settings, &error));
            QVERIFY(!error.isEmpty());
            QCOMPARE(m_port->Settings(), QStringLiteral("19200,E,8,1"));
            QCOMPARE(m_port->line().speed, 19200);
        }
    }

    void settingsApplyWhileOpen()
    {
        QVERIFY(openOnPty());
        QVERIFY(m_port->setSettings(QStringLiteral("19200,O,8,2")));
        QCOMPARE(m_port->Settings(), QStringLiteral("19200,O,8,2"));
        termios line{};
        QVERIFY(deviceTermios(m_pty->devicePath(), &line));
        // A pty keeps the speed and stop bits it is given, though not the parity.
        QCOMPARE(cfgetospeed(&line), speed_t(B19200));
        QVERIFY(line.c_cflag & CSTOPB);

        // A value the open device cannot take must not leave part of it applied. Linux ptys only
        // carry 8 data bits, which gives us such a value here.
        QString error;
        if (m_port->setSettings(QStringLiteral("9600,N,7,1"), &error))
            QSKIP("This kernel's ptys take 7 data bits; no refused value to try.");
        QVERIFY(error.contains(m_port->describe()));
        QCOMPARE(m_port->Settings(), QStringLiteral("19200,O,8,2"));
        QCOMPARE(m_port->line().speed, 19200);
        QVERIFY(deviceTermios(m_pty->devicePath(), &line));
        QCOMPARE(cfgetospeed(&line), speed_t(B19200));
    }

    void allByteValuesPassBothWays()
    {
        QVERIFY(m_port->setSettings(QStringLiteral("115200,N,8,1")));
        QVERIFY(openOnPty());
        const QByteArray bytes = everyByteValue(4);

        QVERIFY(m_port->Output(bytes));
        QCOMPARE(m_pty->readExactly(bytes.size()), bytes);

        QVERIFY(m_pty->write(bytes));
        QTRY_COMPARE(m_port->InBufferCount(), qint64(bytes.size()));
        QCOMPARE(m_port->Input(), bytes);
        QVERIFY(m_pty->collectFor(100).isEmpty()); // nothing echoed back
    }

    void openFailures()
    {
        QString error;
        m_port->ports().mapForRun({{1, QStringLiteral("/nonexistent/ttyMissing")}});
        QVERIFY(!openOnPty(&error));
        QVERIFY2(error.contains(QStringLiteral("COM1 (/nonexistent/ttyMissing)")) &&
                     error.contains(QStringLiteral("No such file")),
                 qPrintable(error));

        // Qt's lock file keeps out a second program, even where root passes TIOCEXCL.
        m_port->ports().mapForRun({{1, m_pty->devicePath()}});
        QSerialPort holder;
        holder.setPortName(m_pty->devicePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
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
        QVERIFY(m_port->Output("still"));
        QCOMPARE(m_pty->readExactly(5), QByteArray("still"));
    }

    void oneDeviceUnderTwoNamesOpensOnce()
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
    }

    void openCloseCyclesHoldNothing()
    {
        const int before = openDescriptors();
        for (int i = 0; i < 20; ++i) {
            QVERIFY(openOnPty());
            QVERIFY(m_port->Output(QByteArray(1, static_cast<char>(i))));
            QCOMPARE(m_pty->readExactly(1), QByteArray(1, static_cast<char>(i)));
            QVERIFY(m_port->setPortOpen(false));
        }
        QCOMPARE(openDescriptors(), before);
        // Nor is the lock left behind for another program.
        QSerialPort other;
        other.setPortName(m_pty->devicePath());
        QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
    }

    void outBufferSizeFollowsSpeed()
    {
        QList<int> sizes;
        for (const int speed : {50, 1200, 2400, 9600, 57600, 115200, 921600, 4000000}) {
            QVERIFY(m_port->setSettings(QStringLiteral("%1,N,8,1").arg(speed)));
            sizes << m_port->OutBufferSize();
        }
        QVERIFY2(std::is_sorted(sizes.begin(), sizes.end()), qPrintable(QDebug::toString(sizes)));
        QCOMPARE(sizes.first(), 1);
        QCOMPARE(sizes.last(), 4096);
        // A quarter second of line time: progress shows four times a second on a 1200 baud line.
        QCOMPARE(sizes[1], 30);
        QVERIFY(sizes[2] < sizes[3] && sizes[3] < sizes[4]);
    }

    void outputDrainsOnlyAsFarEndReads()
    {
        QCOMPARE(m_port->OutBufferCount(), qint64(-1));
        QVERIFY(openOnPty());
        QSignalSpy drained(m_port.get(), &SerialPort::outputDrained);
        qint64 countWhenDrained = -2;
        connect(m_port.get(), &SerialPort::outputDrained, this,
                [&] { countWhenDrained = m_port->OutBufferCount(); });

        // Far more than the pty holds, so most of it can only leave as the far end reads.
        const QByteArray data = pattern(100 * 1024);
        QVERIFY(m_port->Output(data));
        QTRY_VERIFY(m_port->OutBufferCount() < data.size());
        QTest::qWait(200);
        QCOMPARE(drained.count(), 0);
        QVERIFY(m_port->OutBufferCount() > 0);

        const QByteArray arrived = m_pty->readExactly(data.size());
        QCOMPARE(arrived, data);
        QTRY_COMPARE(drained.count(), 1);
        QCOMPARE(countWhenDrained, qint64(0));
        QCOMPARE(m_port->OutBufferCount(), qint64(0));

        // An empty Output still reports the drained line.
        QVERIFY(m_port->Output(QByteArray()));
        QTRY_COMPARE(drained.count(), 2);
    }

    void inputWithoutNotifications()
    {
        m_port->setRThreshold(0);
        QVERIFY(openOnPty());
        QSignalSpy onComm(m_port.get(), &SerialPort::OnComm);

        QVERIFY(m_pty->write("hello world"));
        QTRY_COMPARE(m_port->InBufferCount(), qint64(11));
        QTest::qWait(100);
        QCOMPARE(onComm.count(), 0);

        m_port->setInputLen(5);
        QCOMPARE(m_port->Input(), QByteArray("hello"));
        QCOMPARE(m_port->InBufferCount(), qint64(6));
        m_port->setInputLen(0);
        QCOMPARE(m_port->Input(), QByteArray(" world"));
        QCOMPARE(m_port->InBufferCount(), qint64(0));
        QVERIFY(m_port->Input().isEmpty());

        // Lowering the threshold to what already waits raises the event without new data.
        QVERIFY(m_pty->write("abc"));
        QTRY_COMPARE(m_port->InBufferCount(), qint64(3));
        QByteArray received;
        connect(m_port.get(), &SerialPort::OnComm, this, [&] { received += m_port->Input(); });
        m_port->setRThreshold(3);
        QTRY_COMPARE(received, QByteArray("abc"));
        QCOMPARE(onComm.count(), 1);
        QCOMPARE(m_port->CommEvent(), SerialPort::comEvReceive);
    }

    void onCommWhileThresholdWaits_data()
    {
        // The handler reads InputLen bytes per call; after each write arrives, the calls so far
        // and the bytes left waiting.
        QTest::addColumn<int>("threshold");
        QTest::addColumn<QList<int>>("writes");
        QTest::addColumn<QList<int>>("calls");
        QTest::addColumn<QList<int>>("left");
        QTest::newRow("ten blocks at once") << 512 << QList{5120} << QList{10} << QList{0};
        QTest::newRow("handler leaves less")
            << 10 << QList{25, 5, 3} << QList{2, 3, 3} << QList{5, 0, 3};
    }
    void onCommWhileThresholdWaits()
    {
        QFETCH(int, threshold);
        QFETCH(QList<int>, writes);
        QFETCH(QList<int>, calls);
        QFETCH(QList<int>, left);
        m_port->setRThreshold(threshold);
        m_port->setInputLen(threshold);
        QVERIFY(openOnPty());
        QByteArray received;
        QList<int> events;
        connect(m_port.get(), &SerialPort::OnComm, this, [&] {
            events << m_port->CommEvent();
            received += m_port->Input();
        });

        QByteArray sent;
        for (qsizetype i = 0; i < writes.size(); ++i) {
            const QByteArray data = pattern(sent.size() + writes[i]).mid(sent.size());
            QVERIFY(m_pty->write(data));
            sent += data;
            QTRY_COMPARE(m_port->InBufferCount() + received.size(), sent.size());
            QTRY_COMPARE(events.size(), calls[i]);
            QTest::qWait(100);
            QCOMPARE(events.size(), calls[i]);
            QCOMPARE(m_port->InBufferCount(), qint64(left[i]));
        }
        QCOMPARE(received, sent.left(received.size()));
        QVERIFY(std::all_of(events.begin(), events.end(),
                            [](int e) { return e == SerialPort::comEvReceive; }));
    }

    void arrivalsAreReadAtOnce()
    {
        // A trickle at the line's pace: each piece is taken from the system as it arrives, so a
        // hang-up, which throws away what the system holds, could cost nothing; OnComm still
        // comes a whole block at a time.
        QVERIFY(m_port->setSettings(QStringLiteral("115200,N,8,1")));
        m_port->setRThreshold(512);
        m_port->setInputLen(512);
        QVERIFY(openOnPty());
        QByteArray received;
        bool wrongBlock = false;
        connect(m_port.get(), &SerialPort::OnComm, this, [&] {
            const QByteArray block = m_port->Input();
            wrongBlock = wrongBlock || block.size() != 512;
            received += block;
        });
        const int slave = descriptorOf(m_pty->devicePath());
        QVERIFY(slave >= 0);
        const QByteArray sent = pattern(4000);
        int leftInSystem = 0;
        for (qsizetype done = 0; done < sent.size(); done += 23) {
            QVERIFY(m_pty->write(sent.mid(done, 23)));
            QVERIFY(waitReadable(m_pty->devicePath()));
            QCoreApplication::processEvents();
            int queued = 0;
            QVERIFY(::ioctl(slave, FIONREAD, &queued) == 0);
            leftInSystem = std::max(leftInSystem, queued);
        }
        QCOMPARE(leftInSystem, 0);
        QTRY_COMPARE(received.size() + m_port->InBufferCount(), sent.size());
        QCOMPARE(received.size(), sent.size() / 512 * 512);
        QVERIFY(!wrongBlock);
        m_port->setInputLen(0);
        received += m_port->Input();
        QVERIFY(received == sent);
    }

    void receiveTimeoutRaisesForATail()
    {
        // Fewer bytes than the threshold are reported once they have waited the timeout.
        m_port->setRThreshold(512);
        m_port->setReceiveTimeout(50);
        QVERIFY(openOnPty());
        QByteArray received;
        connect(m_port.get(), &SerialPort::OnComm, this, [&] {
            QCOMPARE(m_port->CommEvent(), SerialPort::comEvReceive);
            m_port->setInputLen(0);
            received += m_port->Input();
        });
        QVERIFY(m_pty->write("tail"));
        QTRY_COMPARE(received, QByteArray("tail"));
        // Without a timeout they wait for the threshold.
        m_port->setReceiveTimeout(0);
        QVERIFY(m_pty->write("more"));
        QTRY_COMPARE(m_port->InBufferCount(), qint64(4));
        QTest::qWait(200);
        QCOMPARE(received, QByteArray("tail"));
    }

    void handlerThatReadsNothingIsNotRepeated()
    {
        // Calling it again for the same bytes would only spin the CPU.
        m_port->setRThreshold(512);
        QVERIFY(openOnPty());
        QSignalSpy onComm(m_port.get(), &SerialPort::OnComm);
        QVERIFY(m_pty->write(pattern(2048)));
        QTRY_COMPARE(m_port->InBufferCount(), qint64(2048));
        QTest::qWait(200);
        QCOMPARE(onComm.count(), 1);
        // New bytes bring a new call.
        QVERIFY(m_pty->write("more"));
        QTRY_COMPARE(onComm.count(), 2);
    }

    void handlerRunningEventLoopIsNotReentered()
    {
        // A handler that shows a message box runs a nested event loop while more bytes arrive.
        m_port->setRThreshold(0);
        QVERIFY(openOnPty());
        QVERIFY(m_pty->write("first"));
        QTRY_COMPARE(m_port->InBufferCount(), qint64(5));

        int depth = 0;
        int deepest = 0;
        bool arrivedMeanwhile = false;
        QByteArray received;
        connect(m_port.get(), &SerialPort::OnComm, this, [&] {
            deepest = std::max(deepest, ++depth);
            received += m_port->Input();
            if (received == "first") {
                m_pty->write("second");
                arrivedMeanwhile = QTest::qWaitFor([&] { return m_port->InBufferCount() > 0; });
                QTest::qWait(50);
            }
            --depth;
        });
        m_port->setRThreshold(1);
        QTRY_COMPARE(received, QByteArray("firstsecond"));
        QVERIFY(arrivedMeanwhile);
        QCOMPARE(deepest, 1);
    }

    void farEndClosedClosesPortOnce_data()
    {
        QTest::addColumn<bool>("sending");
        QTest::newRow("idle") << false;
        QTest::newRow("sending") << true;
    }

    void farEndClosedClosesPortOnce()
    {
        QFETCH(bool, sending);
        m_port->setRThreshold(0);
        QVERIFY(openOnPty());
        // What arrived and was not read yet survives the loss.
        QVERIFY(m_pty->write("unread"));
        QTRY_COMPARE(m_port->InBufferCount(), qint64(6));
        QSignalSpy lost(m_port.get(), &SerialPort::deviceLost);
        QSignalSpy drained(m_port.get(), &SerialPort::outputDrained);
        if (sending) {
            QVERIFY(m_port->Output(pattern(1024 * 1024)));
            QTRY_VERIFY(m_port->OutBufferCount() < 1024 * 1024); // the pty has filled up
        }
        m_pty->closeMaster();

        QTRY_COMPARE(lost.count(), 1);
        QVERIFY(!m_port->PortOpen());
        const QString reason = lost.first().first().toString();
        QVERIFY2(reason.contains(m_port->describe()), qPrintable(reason));
        // Qt words a hang-up with a left-over errno, here that of its own ioctl probe at the open.
        QVERIFY2(!reason.contains(QString::fromLocal8Bit(::strerror(ENOTTY))), qPrintable(reason));
        QTest::qWait(300);
        QCOMPARE(lost.count(), 1);
        QCOMPARE(drained.count(), 0);
        QVERIFY(!m_port->PortOpen());
        QVERIFY(!m_port->Output("x"));
        QCOMPARE(m_port->takeUnreadAfterLoss(), QByteArray("unread"));
        QVERIFY(m_port->takeUnreadAfterLoss().isEmpty());
    }

    void fetchPendingTakesWhatTheSystemHolds()
    {
        QVERIFY(openOnPty());
        QSignalSpy onComm(m_port.get(), &SerialPort::OnComm);
        QVERIFY(m_pty->write("last bytes"));
        // No event loop turn between the write and the fetch: only the fetch can bring them in.
        QVERIFY(waitReadable(m_pty->devicePath()));
        QCOMPARE(m_port->InBufferCount(), qint64(0));
        m_port->fetchPending();
        QCOMPARE(m_port->InBufferCount(), qint64(10));
        QCOMPARE(onComm.count(), 0);
        QCOMPARE(m_port->Input(), QByteArray("last bytes"));
    }

    void closeDiscardsQueuedOutput()
    {
        m_port->setRThreshold(0);
        QVERIFY(openOnPty());
        QSignalSpy drained(m_port.get(), &SerialPort::outputDrained);
        QSignalSpy lost(m_port.get(), &SerialPort::deviceLost);

        QVERIFY(m_pty->write("unread"));
        QTRY_COMPARE(m_port->InBufferCount(), qint64(6));
        const QByteArray data = pattern(1024 * 1024);
        QVERIFY(m_port->Output(data));
        QTRY_VERIFY(m_port->OutBufferCount() < data.size());
        QVERIFY(m_port->setPortOpen(false));

        QVERIFY(!m_port->Output("x"));
        QCOMPARE(m_port->OutBufferCount(), qint64(-1));
        QCOMPARE(m_port->InBufferCount(), qint64(-1));
        QVERIFY(m_port->Input().isEmpty());

        QByteArray arrived = m_pty->collectFor(200);
        // Opening again must not send what the close gave up.
        QVERIFY(openOnPty());
        arrived += m_pty->collectFor(200);
        QVERIFY(arrived.size() < data.size());
        QCOMPARE(arrived, data.left(arrived.size()));
        QCOMPARE(drained.count(), 0);
        QCOMPARE(lost.count(), 0);
    }
};

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_serialport.moc"
