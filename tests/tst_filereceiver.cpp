#include "platform/serialport.h"
#include "ptypair.h"
#include "testfiles.h"
#include "transfer/filereceiver.h"
#include "transfer/streamoutput.h"

#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using Ending = FileReceiver::Ending;

// A reception without the window, on a pty standing in for the device.
class FileReceiverTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<SerialPort> m_port;
    std::unique_ptr<FileReceiver> m_receiver;
    std::vector<FileReceiver::Outcome> m_endings;

    bool start(const QString& path, FileReceiver::Claim claim = FileReceiver::Claim::AtStart,
               std::optional<qint64> limit = std::nullopt)
    {
        auto target = std::make_unique<ReceiveTarget>();
        QString error;
        return target->open(path, &error) &&
               m_receiver->start(std::move(target), &error, claim, limit);
    }
    // Runs the event loop until the port has read `count` bytes since the reception started
    // (waiting in the port, or stored), or the reception ended.
    bool portHasRead(qint64 count)
    {
        return QTest::qWaitFor(
            [&] {
                return !m_receiver->isReceiving() ||
                       m_port->input().waiting() + m_receiver->report().count() >= count;
            },
            20000);
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("received.bin"));
        QFile::remove(m_path);
        m_pty = std::make_unique<PtyPair>();
        m_port = std::make_unique<SerialPort>();
        m_port->ports().mapForRun({{1, m_pty->devicePath()}});
        QVERIFY(m_port->setCommPort(1));
        QVERIFY(m_port->setSettings(QStringLiteral("115200,N,8,1")));
        m_receiver = std::make_unique<FileReceiver>(*m_port);
        m_endings.clear();
        connect(m_receiver.get(), &FileReceiver::ended, this,
                [this](const FileReceiver::Outcome& outcome) { m_endings.push_back(outcome); });
    }
    void cleanup()
    {
        m_receiver.reset();
        m_port.reset();
        m_pty.reset();
    }

    void tailReachesTheFileWithoutStop()
    {
        // Less than a block, then quiet: the file holds it soon, not only at the stop, so a
        // crash or a kill loses nothing that arrived.
        QVERIFY(start(m_path));
        const QByteArray data = randomBytes(3 * 512 + 100, 1);
        QByteArray reported;
        connect(m_receiver.get(), &FileReceiver::stored, this,
                [&](QByteArrayView bytes) { reported += bytes.toByteArray(); });
        QVERIFY(m_pty->write(data));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_path), data, 20000);
        QCOMPARE(m_receiver->report().count(), data.size());
        QCOMPARE(m_receiver->lastBlock(), data.right(512));
        // What it reports is what reached the file, in order, and so is its checksum.
        QVERIFY(reported == data);
        QCOMPARE(QString::fromLatin1(m_receiver->report().sha256Hex()), sha256Hex(data));
    }

    void deletedFileIsAFailure()
    {
        QVERIFY(start(m_path));
        QVERIFY(m_pty->write(randomBytes(2000, 3)));
        QTRY_COMPARE(m_receiver->report().count(), qint64(2000));
        QVERIFY(QFile::remove(m_path));
        m_receiver->stop();
        QCOMPARE(m_endings.size(), size_t(1));
        const QString error = m_endings.front().message;
        QVERIFY2(error.contains(m_path) && error.contains(QStringLiteral("deleted")) &&
                     error.contains(QStringLiteral("2000 bytes")),
                 qPrintable(error));
        QVERIFY(!m_receiver->isReceiving());
        QVERIFY(!m_pty->isHeld());
    }

    void nothingCameLeavesTheFileAsFound_data()
    {
        QTest::addColumn<bool>("lost");
        QTest::newRow("stopped") << false;
        QTest::newRow("device lost") << true;
    }
    void nothingCameLeavesTheFileAsFound()
    {
        QFETCH(bool, lost);
        QVERIFY(writeFile(m_path, "kept as it was"));
        QVERIFY(start(m_path, FileReceiver::Claim::AtFirstByte));
        if (lost) {
            m_pty->closeMaster();
            QTRY_COMPARE(m_endings.size(), size_t(1));
        } else {
            m_receiver->stop();
            QCOMPARE(m_endings.size(), size_t(1));
        }
        const FileReceiver::Outcome& outcome = m_endings.front();
        QCOMPARE(outcome.ending, lost ? Ending::DeviceLost : Ending::Stopped);
        QVERIFY(outcome.leftAsFound);
        QCOMPARE(outcome.saved, qint64(0));
        // Given back, not lost: no word of a deleted file.
        QCOMPARE(outcome.ok(), !lost);
        QVERIFY2(!outcome.message.contains(QStringLiteral("deleted")), qPrintable(outcome.message));
        QCOMPARE(readFile(m_path), QByteArray("kept as it was"));
    }

    void limitKeepsTheFirstBytes_data()
    {
        QTest::addColumn<bool>("toStream");
        QTest::addColumn<int>("closeAfterMs"); // -1: the far end stays
        QTest::newRow("file") << false << -1;
        QTest::newRow("far end closes 2 ms later") << false << 2;
        QTest::newRow("far end closes 10 ms later") << false << 10;
        QTest::newRow("far end closes 20 ms later") << false << 20;
        QTest::newRow("standard output") << true << -1;
    }
    void limitKeepsTheFirstBytes()
    {
        QFETCH(bool, toStream);
        QFETCH(int, closeAfterMs);
        int fds[2] = {-1, -1};
        StreamOutput stream;
        // The reception writes to the stream until it ends, also when a check fails first.
        const auto endFirst = qScopeGuard([this] { m_receiver->stop(); });
        QString error;
        if (toStream) {
            QCOMPARE(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
            QVERIFY2(stream.open(fds[1], &error), qPrintable(error));
            auto target = std::make_unique<ReceiveTarget>();
            target->openStream(stream);
            QVERIFY2(
                m_receiver->start(std::move(target), &error, FileReceiver::Claim::AtStart, 1000),
                qPrintable(error));
        } else {
            QVERIFY(start(m_path, FileReceiver::Claim::AtStart, 1000));
        }
        QSignalSpy lost(m_port.get(), &SerialPort::deviceLost);
        // One write: the far end's bytes arrive together, and the rest past the limit with them.
        const QByteArray data = randomBytes(2000, 5);
        QVERIFY(m_pty->write(data));
        if (closeAfterMs >= 0) {
            // Before the tail is due, so the loss is what offers the bytes waiting in the port.
            QVERIFY(portHasRead(data.size()));
            QTest::qWait(closeAfterMs);
            m_pty->closeMaster();
            QTRY_COMPARE(lost.size(), 1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_endings.size(), size_t(1), 20000);
        const FileReceiver::Outcome& outcome = m_endings.front();
        QByteArray kept;
        if (toStream) {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                kept.append(buffer, n);
            stream.close();
            ::close(fds[0]);
            ::close(fds[1]);
        } else {
            kept = readFile(m_path);
        }
        QCOMPARE(outcome.ending, Ending::LimitReached);
        QVERIFY2(outcome.ok(), qPrintable(outcome.message));
        QVERIFY(kept == data.left(1000));
        QCOMPARE(outcome.saved, qint64(1000));
        QCOMPARE(m_receiver->report().count(), qint64(1000));
        // The rest was taken off the line all the same, and is told apart.
        QCOMPARE(outcome.saved + outcome.notKept, data.size());
        QVERIFY(!m_pty->isHeld());
    }

    void handoverKeepsEveryByteInTheFirstFile()
    {
        const QString first = m_dir.filePath(QStringLiteral("first.bin"));
        const QString second = m_dir.filePath(QStringLiteral("second.bin"));
        QVERIFY(start(first));
        // Bytes read by the port and waiting for their tail, then bytes the system still holds.
        const QByteArray read = randomBytes(700, 7);
        const QByteArray unread = randomBytes(300, 8);
        QVERIFY(m_pty->write(read));
        QVERIFY(portHasRead(read.size()));
        QVERIFY(m_pty->write(unread));
        // Long enough for the pty to pass them on, far shorter than the tail's wait, and no
        // event meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        QVERIFY(start(second));

        QCOMPARE(m_endings.size(), size_t(1));
        QCOMPARE(m_endings.front().ending, Ending::HandedOver);
        QCOMPARE(m_endings.front().saved, read.size() + unread.size());
        QVERIFY(readFile(first) == read + unread);
        QCOMPARE(readFile(second), QByteArray());

        const QByteArray after = randomBytes(900, 9);
        QVERIFY(m_pty->write(after));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(second), after, 20000);
        QVERIFY(readFile(first) == read + unread);
    }

    void lossKeepsEveryByteSent()
    {
        QVERIFY(start(m_path));
        // At a line's pace, the far end going away as soon as the port has read its last byte
        // (sooner, the hang-up would throw away what the system still held): the last ones
        // still wait in the port for their tail then.
        const QByteArray data = randomBytes(3000, 11);
        std::thread farEnd = m_pty->writePaced(data, 11520, false);
        const bool allRead = portHasRead(data.size());
        farEnd.join();
        QVERIFY(allRead);
        m_pty->closeMaster();
        QTRY_COMPARE_WITH_TIMEOUT(m_endings.size(), size_t(1), 20000);
        QVERIFY(readFile(m_path) == data);
        const FileReceiver::Outcome& outcome = m_endings.front();
        QCOMPARE(outcome.ending, Ending::DeviceLost);
        QCOMPARE(outcome.saved, data.size());
        QVERIFY2(outcome.message.contains(QStringLiteral("%1 bytes were saved").arg(data.size())),
                 qPrintable(outcome.message));
    }
};

QTEST_GUILESS_MAIN(FileReceiverTest)
#include "tst_filereceiver.moc"
