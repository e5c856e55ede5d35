// The account of one transfer, on a clock the test moves.
#include "platform/sha256.h"
#include "testfiles.h"
#include "transfer/transferreport.h"

#include <QTest>

class TransferReportTest : public QObject
{
    Q_OBJECT

    qint64 m_now = 0;
    TransferReport m_report{[this] { return m_now; }};

private slots:
    void init() { m_now = 0; }

    void receptionCountsFromItsFirstByte()
    {
        // The report goes on from the last transfer: nothing of it stays.
        m_report.hash("the last transfer's bytes");
        m_report.begin(TransferReport::Direction::Receive, 40'000);
        // Ten seconds of waiting say nothing of the line, then 1000 bytes every second.
        m_now = 10'000;
        QVERIFY(!m_report.firstByteMs());
        const QByteArray data = randomBytes(5000, 1);
        for (qint64 sent = 1000; sent <= data.size(); sent += 1000) {
            m_now = 9000 + sent;
            m_report.hash(QByteArrayView(data).sliced(sent - 1000, 1000));
            m_report.setCount(sent);
        }
        QCOMPARE(m_report.firstByteMs(), std::optional<qint64>(10'000));
        QCOMPARE(m_report.lastByteMs(), std::optional<qint64>(14'000));
        QCOMPARE(m_report.activeMs(), qint64(4000));
        QCOMPARE(m_report.averageRate(), std::optional<double>(1250));
        QCOMPARE(m_report.recentRate(), std::optional<double>(1250));
        QCOMPARE(m_report.secondsLeft(), std::optional<qint64>(28));
        Sha256 whole;
        whole.addData(data);
        QCOMPARE(m_report.sha256Hex(), whole.hex());

        // Ended a second later: what it says of the run stays as the clock moves on.
        m_now = 15'000;
        m_report.end();
        const std::optional<double> recent = m_report.recentRate();
        const std::optional<qint64> left = m_report.secondsLeft();
        QVERIFY(recent && left);
        m_now = 60'000;
        QVERIFY(!m_report.isRunning());
        QCOMPARE(m_report.elapsedMs(), qint64(15'000));
        QCOMPARE(m_report.recentRate(), recent);
        QCOMPARE(m_report.secondsLeft(), left);
        QCOMPARE(m_report.averageRate(), std::optional<double>(1250));
        // Bytes that come after the end are not the run's.
        m_report.setCount(6000);
        QCOMPARE(m_report.count(), qint64(5000));
    }

    void sendCountsFromItsStart()
    {
        // The line is busy from the start, though the first count comes a second later.
        m_report.begin(TransferReport::Direction::Send, -1);
        m_now = 1000;
        m_report.setCount(2000);
        m_now = 2000;
        m_report.setCount(4000);
        QCOMPARE(m_report.activeMs(), qint64(2000));
        QCOMPARE(m_report.averageRate(), std::optional<double>(2000));
        // A rate, but no length to tell the time left from.
        QVERIFY(m_report.recentRate());
        QVERIFY(!m_report.secondsLeft());
        QCOMPARE(m_report.elapsedMs(), qint64(2000));
    }
};

QTEST_GUILESS_MAIN(TransferReportTest)
#include "tst_transferreport.moc"
