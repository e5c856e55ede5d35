#include "platform/serialport.h"
#include "ptypair.h"
#include "testfiles.h"
#include "transfer/filereceiver.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// A reception without the window, on a pty standing in for the device.
class FileReceiverTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<SerialPort> m_port;
    std::unique_ptr<FileReceiver> m_receiver;

    bool start()
    {
        auto target = std::make_unique<ReceiveTarget>();
        QString error;
        return target->open(m_path, &error) && m_receiver->start(std::move(target), &error);
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
        QVERIFY(start());
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
        const QByteArray data = randomBytes(3 * 512 + 100, 1);
        QByteArray reported;
        connect(m_receiver.get(), &FileReceiver::stored, this,
                [&](QByteArrayView bytes) { reported += bytes.toByteArray(); });
        QVERIFY(m_pty->write(data));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_path), data, 20000);
        QCOMPARE(m_receiver->receivedCount(), data.size());
        QCOMPARE(m_receiver->lastBlock(), data.right(512));
        // What it reports is what reached the file, in order (a checksum follows it).
        QVERIFY(reported == data);
    }

    void deletedFileIsAFailure()
    {
        QVERIFY(m_pty->write(randomBytes(2000, 3)));
        QTRY_COMPARE(m_receiver->receivedCount(), qint64(2000));
        QVERIFY(QFile::remove(m_path));
        QString error;
        QVERIFY(!m_receiver->finish(&error));
        QVERIFY2(error.contains(m_path) && error.contains(QStringLiteral("deleted")) &&
                     error.contains(QStringLiteral("2000 bytes")),
                 qPrintable(error));
        QVERIFY(!m_receiver->isReceiving());
        QVERIFY(!m_pty->isHeld());
    }

    void lossBeforeTheFirstByteLeavesTheFileAsFound()
    {
        QString error;
        QVERIFY(m_receiver->finish(&error));
        QVERIFY(writeFile(m_path, "kept as it was"));
        auto target = std::make_unique<ReceiveTarget>();
        QVERIFY(target->open(m_path, &error));
        QVERIFY(m_receiver->start(std::move(target), &error, FileReceiver::Claim::AtFirstByte));
        QSignalSpy failed(m_receiver.get(), &FileReceiver::failed);
        m_pty->closeMaster();
        QTRY_COMPARE(failed.size(), 1);
        // The file is given back, not lost: no word of a deleted file.
        const QString message = failed.front().front().toString();
        QVERIFY2(!message.contains(QStringLiteral("deleted")), qPrintable(message));
        QCOMPARE(readFile(m_path), QByteArray("kept as it was"));
    }
};

QTEST_GUILESS_MAIN(FileReceiverTest)
#include "tst_filereceiver.moc"
