#include "platform/serialport.h"
#include "ptypair.h"
#include "testfiles.h"
#include "transfer/filesender.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

// A send without the window, on a pty standing in for the device.
class FileSenderTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<SerialPort> m_port;
    std::unique_ptr<FileSender> m_sender;
    QList<qint64> m_chunks;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_pty = std::make_unique<PtyPair>();
        m_port = std::make_unique<SerialPort>();
        m_port->ports().mapForRun({{1, m_pty->devicePath()}});
        QVERIFY(m_port->setCommPort(1));
        m_sender = std::make_unique<FileSender>(*m_port);
        m_chunks.clear();
        connect(m_sender.get(), &FileSender::handed, this,
                [this](QByteArrayView chunk) { m_chunks << chunk.size(); });
    }
    void cleanup()
    {
        m_sender.reset();
        m_port.reset();
        m_pty.reset();
    }

    void chunksGrowOnALineFasterThanItsSpeed()
    {
        // A pty takes bytes at once whatever the speed says, as a USB adapter does: the send
        // starts with a quarter second at 1200 baud and grows from there.
        QVERIFY(m_port->setSettings(QStringLiteral("1200,N,8,1")));
        const QByteArray data = randomBytes(4 << 20, 1);
        QString error;
        QCOMPARE(
            m_sender->start(writeTestFile(m_dir, QStringLiteral("outgoing.bin"), data), &error),
            FileSender::Start::Started);
        QSignalSpy finished(m_sender.get(), &FileSender::ended);
        QCOMPARE(m_pty->readExactly(data.size(), 60000), data);
        QVERIFY(finished.wait(10000));
        QCOMPARE(m_chunks.first(), qint64(30));
        QVERIFY2(*std::max_element(m_chunks.begin(), m_chunks.end()) > 64 * 1024,
                 qPrintable(QDebug::toString(m_chunks)));
        QCOMPARE(std::accumulate(m_chunks.begin(), m_chunks.end(), qint64(0)), data.size());
        QVERIFY(!m_pty->isHeld());
    }

    void chunksStayNearTheSpeedOnALineAtItsSpeed()
    {
        // Once the system's queue is full, a line that really runs at its speed takes a quarter
        // second's worth per quarter second: the chunks come back to that, so the progress
        // shown stays close to the line.
        QVERIFY(m_port->setSettings(QStringLiteral("115200,N,8,1")));
        const QByteArray data = randomBytes(40'000, 2);
        QString error;
        QCOMPARE(
            m_sender->start(writeTestFile(m_dir, QStringLiteral("outgoing.bin"), data), &error),
            FileSender::Start::Started);
        QByteArray arrived;
        std::thread far = m_pty->readPaced(data.size(), 11'520, &arrived);
        QSignalSpy finished(m_sender.get(), &FileSender::ended);
        const bool ended = finished.wait(20000);
        far.join();
        QVERIFY(ended);
        QVERIFY(arrived == data);
        const qint64 nominal = 2880;
        QCOMPARE(m_chunks.first(), nominal);
        // The reader keeps to the wall clock: after a stall of the machine it catches up in a
        // burst, which looks like a faster line and grows the chunks for a while. Four times
        // the nominal chunk leaves room for that on a busy machine.
        QVERIFY2(m_chunks.last() <= 4 * nominal || m_chunks.size() < 4,
                 qPrintable(QDebug::toString(m_chunks)));
    }
};

QTEST_GUILESS_MAIN(FileSenderTest)
#include "tst_filesender.moc"
