#include "platform/serialport.h"
#include "ptypair.h"
#include "testfiles.h"
#include "transfer/filesender.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include <algorithm>
#include <memory>

namespace {

// Bytes as the far end saw them arrive, each with its time since the start.
struct Arrivals
{
    QByteArray bytes;
    QList<qint64> ms;

    qint64 gapBefore(qsizetype index) const { return ms[index] - ms[index - 1]; }
};

// Reads from the far end, noting when each byte came, until `count` bytes came or `timeoutMs`
// passed. `answer` runs on each byte that came, for a far end that answers.
Arrivals collectTimed(PtyPair& pty, qsizetype count, int timeoutMs,
                      const std::function<void(char, qint64)>& answer = {})
{
    Arrivals seen;
    QElapsedTimer clock;
    clock.start();
    while (seen.bytes.size() < count && clock.elapsed() < timeoutMs) {
        const QByteArray got = pty.readAvailable();
        for (const char c : got) {
            seen.bytes += c;
            seen.ms << clock.elapsed();
            if (answer)
                answer(c, clock.elapsed());
        }
        QTest::qWait(1);
    }
    return seen;
}

SendPacing pacing(qint64 charDelayMs, qint64 lineDelayMs, const QByteArray& waitFor = {},
                  qint64 waitTimeoutMs = 10'000)
{
    SendPacing paced;
    paced.charDelayMs = charDelayMs;
    paced.lineDelayMs = lineDelayMs;
    paced.waitFor = waitFor;
    paced.waitTimeoutMs = waitTimeoutMs;
    return paced;
}

} // namespace

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

    void pacingPausesAfterCharactersAndLines()
    {
        // Line endings go as they are: "\r\n" is one line end, a lone "\r" none.
        const QByteArray data("ab\r\nc\rd\n");
        m_sender->setPacing(pacing(40, 150));
        QString error;
        QCOMPARE(m_sender->start(writeTestFile(m_dir, QStringLiteral("paced.txt"), data), &error),
                 FileSender::Start::Started);
        QSignalSpy finished(m_sender.get(), &FileSender::ended);
        const Arrivals seen = collectTimed(*m_pty, data.size(), 20000);
        QCOMPARE(seen.bytes, data);
        QCOMPARE(m_chunks, QList<qint64>(data.size(), 1));
        for (qsizetype i = 1; i < data.size(); ++i) {
            // A few milliseconds less, for when the far end happened to look.
            const qint64 least = data[i - 1] == '\n' ? 40 + 150 - 5 : 40 - 5;
            QVERIFY2(
                seen.gapBefore(i) >= least,
                qPrintable(QStringLiteral("byte %1 after %2 ms").arg(i).arg(seen.gapBefore(i))));
        }
        QVERIFY(finished.wait(5000));
        QCOMPARE(m_sender->report().count(), data.size());
    }

    void waitForTextHoldsEachLineUntilTheDeviceAnswers()
    {
        // The device answers each line with its prompt only after it "worked" for 300 ms.
        const QByteArray data("one\ntwo\nthree\n");
        m_sender->setPacing(pacing(0, 0, "ok>", 10000));
        QSignalSpy finished(m_sender.get(), &FileSender::ended);
        QString error;
        QCOMPARE(m_sender->start(writeTestFile(m_dir, QStringLiteral("lines.txt"), data), &error),
                 FileSender::Start::Started);
        QList<qint64> answers;
        QTimer answerer;
        answerer.setSingleShot(true);
        // A coarse timer may fire 5% early, which would look like a send that did not wait.
        answerer.setTimerType(Qt::PreciseTimer);
        connect(&answerer, &QTimer::timeout, this, [&] {
            // Half the prompt first: only the whole text lets the next line go.
            QVERIFY(m_pty->write("o"));
            QTest::qWait(50);
            QVERIFY(m_pty->write("k>"));
            answers << -1;
        });
        const Arrivals seen = collectTimed(*m_pty, data.size(), 20000, [&](char c, qint64) {
            if (c == '\n')
                answerer.start(300);
        });
        QCOMPARE(seen.bytes, data);
        // Each line's first byte came only after the answer to the line before: 350 ms.
        for (const qsizetype lineStart : {4, 8})
            QVERIFY2(seen.gapBefore(lineStart) >= 340,
                     qPrintable(QString::number(seen.gapBefore(lineStart))));
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().first().value<FileSender::Outcome>().ending,
                 FileSender::Ending::Finished);
        QCOMPARE(answers.size(), 3);
    }

    void pacedSendStopsWithoutAnswerAndCancelsAtOnce()
    {
        const QByteArray data("first line\nsecond line\nthird line\n");
        const QString file = writeTestFile(m_dir, QStringLiteral("lines.txt"), data);
        QSignalSpy finished(m_sender.get(), &FileSender::ended);
        QString error;

        // No answer: the send stops after the first line, with the count and the reason.
        m_sender->setPacing(pacing(0, 0, ">", 300));
        QCOMPARE(m_sender->start(file, &error), FileSender::Start::Started);
        QCOMPARE(m_pty->readExactly(11), QByteArray("first line\n"));
        QVERIFY(finished.wait(5000));
        auto outcome = finished.takeFirst().first().value<FileSender::Outcome>();
        QCOMPARE(outcome.ending, FileSender::Ending::NoAnswer);
        QCOMPARE(outcome.bytes, qint64(11));
        QVERIFY2(outcome.message.contains(QStringLiteral("No \">\" came from")),
                 qPrintable(outcome.message));
        QVERIFY(m_pty->collectFor(200).isEmpty());

        // A minute's pause after each line: the time left counts the pauses ahead, and a cancel
        // during one ends the send at once.
        m_sender->setPacing(pacing(0, 60000));
        QCOMPARE(m_sender->start(file, &error), FileSender::Start::Started);
        QCOMPARE(m_pty->readExactly(11), QByteArray("first line\n"));
        QTRY_COMPARE(m_sender->state(), FileSender::State::Pausing);
        QTRY_VERIFY(m_sender->report().secondsLeft().value_or(0) >= 150);
        m_sender->cancel();
        QCOMPARE(finished.size(), 1);
        outcome = finished.takeFirst().first().value<FileSender::Outcome>();
        QCOMPARE(outcome.ending, FileSender::Ending::Cancelled);
        QCOMPARE(outcome.bytes, qint64(11));
        QVERIFY(!m_pty->isHeld());
    }

    void xoffFromTheFarEndHoldsTheSendUntilXon()
    {
        // The line discipline of the program's side acts on the XOFF and XON the far end sends.
        QVERIFY(m_port->setFlowControl(LineSettings::Flow::XonXoff));
        // Random bytes hold 0x11 and 0x13 as data: they go out as they are, with a warning.
        const QByteArray data = randomBytes(1 << 20, 3);
        QSignalSpy warned(m_sender.get(), &FileSender::warned);
        QSignalSpy finished(m_sender.get(), &FileSender::ended);
        QString error;
        QCOMPARE(
            m_sender->start(writeTestFile(m_dir, QStringLiteral("outgoing.bin"), data), &error),
            FileSender::Start::Started);
        QByteArray arrived = m_pty->readExactly(64 * 1024);
        QVERIFY(m_pty->write(QByteArray(1, LineSettings::xoff)));
        // What the system had taken before the XOFF still comes; then the line falls silent.
        arrived += m_pty->collectFor(300);
        QVERIFY(m_pty->collectFor(700).isEmpty());
        QVERIFY(m_sender->isRunning());
        QVERIFY(arrived.size() < data.size());
        QVERIFY(m_pty->write(QByteArray(1, LineSettings::xon)));
        arrived += m_pty->readExactly(data.size() - arrived.size(), 60000);
        QVERIFY(arrived == data);
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first().first().value<FileSender::Outcome>().ending,
                 FileSender::Ending::Finished);
        QCOMPARE(warned.size(), 1);
        QVERIFY(warned.first().first().toString().contains(QStringLiteral("0x11/0x13")));
    }
};

QTEST_GUILESS_MAIN(FileSenderTest)
#include "tst_filesender.moc"
