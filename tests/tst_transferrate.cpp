// The moving-window rate of a transfer and the words the program reports it in, with synthetic
// times.
#include "platform/sha256.h"
#include "transfer/transferrate.h"
#include "transfer/transferreport.h"
#include "transfer/transfertext.h"

#include <QTest>

namespace {

// Feeds `rate` bytes a second from `fromMs` to `toMs` in steps of 100 ms, counting on from `bytes`.
qint64 feed(TransferRate& meter, qint64 bytes, double rate, qint64 fromMs, qint64 toMs)
{
    for (qint64 t = fromMs + 100; t <= toMs; t += 100) {
        bytes += qint64(rate / 10);
        meter.update(bytes, t);
    }
    return bytes;
}

} // namespace

class TransferRateTest : public QObject
{
    Q_OBJECT

private slots:
    void steadyLine()
    {
        TransferRate meter;
        meter.start(0);
        feed(meter, 0, 1000, 0, 10'000);
        QCOMPARE(meter.bytesPerSecond(10'000), std::optional<double>(1000));
        QCOMPARE(meter.secondsLeft(4500, 10'000), std::optional<qint64>(5));
    }

    void nothingToTellInTheFirstSecond()
    {
        TransferRate meter;
        meter.start(0);
        meter.update(4096, 900);
        QVERIFY(!meter.bytesPerSecond(900));
        QVERIFY(!meter.secondsLeft(100, 900));
        QVERIFY(meter.bytesPerSecond(1000));
    }

    void burstIntoBuffersFallsOutOfTheWindow()
    {
        // 64 KiB go into the system's buffers at once, then the line takes 1000 bytes a second.
        TransferRate meter(5000);
        meter.start(0);
        meter.update(65536, 0);
        feed(meter, 65536, 1000, 0, 8000);
        QCOMPARE(meter.bytesPerSecond(8000), std::optional<double>(1000));
        QCOMPARE(meter.secondsLeft(60'000, 8000), std::optional<qint64>(60));
    }

    void stallShowsAndEndsAtZero()
    {
        TransferRate meter(5000);
        meter.start(0);
        const qint64 bytes = feed(meter, 0, 2000, 0, 10'000);
        // Two seconds without a byte: the window still holds three seconds of them.
        QCOMPARE(meter.bytesPerSecond(12'000), std::optional<double>(2000.0 * 3 / 5));
        // A whole window without a byte.
        QCOMPARE(meter.bytesPerSecond(15'000), std::optional<double>(0));
        QVERIFY(!meter.secondsLeft(1000, 15'000));
        // The line takes bytes again.
        meter.update(bytes + 500, 15'500);
        QVERIFY(*meter.bytesPerSecond(15'500) > 0);
    }

    void texts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        using namespace TransferText;
        QTest::newRow("a few bytes") << bytes(1023) << "1023 B";
        QTest::newRow("KiB of data") << bytes(1536) << "1.50 KiB";
        QTest::newRow("MiB of data") << bytes(150 * 1024 * 1024) << "150.0 MiB";
        QTest::newRow("bytes") << rate(512) << "512 B/s";
        QTest::newRow("KiB") << rate(11.3 * 1024) << "11.3 KiB/s";
        QTest::newRow("MiB") << rate(1.5 * 1024 * 1024) << "1.50 MiB/s";
        QTest::newRow("seconds") << duration(42) << "42 s";
        QTest::newRow("minutes") << duration(65) << "1:05";
        QTest::newRow("hours") << duration(3723) << "1:02:03";
        // The status and the summary, from a transfer's report on a clock of the test's own.
        qint64 now = 0;
        const QString empty = QString::fromLatin1(Sha256().hex());
        TransferReport send([&now] { return now; });
        send.begin(TransferReport::Direction::Send, 2048 * 76);
        now = 1000;
        send.setCount(2048);
        QTest::newRow("sending") << status(send) << "Sending at 2.00 KiB/s, 1:15 left";
        now = 2000;
        send.setCount(10240);
        send.end();
        QTest::newRow("summary") << summary(send)
                                 << "Sent 10240 bytes in 2.0 s, 5.00 KiB/s on average\nSHA-256 " +
                                        empty;
        TransferReport receive([&now] { return now; });
        now = 0;
        receive.begin(TransferReport::Direction::Receive, -1);
        QTest::newRow("waiting") << status(receive) << "Receiving: waiting for the first byte";
        now = 1000;
        receive.setCount(200);
        now = 3000;
        QTest::newRow("receiving") << status(receive) << "Receiving at 100 B/s, last byte 2 s ago";
        now = 62'000;
        receive.setCount(201);
        receive.end();
        QTest::newRow("long reception")
            << summary(receive) << "Received 201 bytes in 1:01, 3 B/s on average\nSHA-256 " + empty;
    }

    void texts()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(text, expected);
    }
};

QTEST_GUILESS_MAIN(TransferRateTest)
#include "tst_transferrate.moc"
