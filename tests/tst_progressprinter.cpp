// How progress looks on a terminal and in a log.
#include "cli/progressprinter.h"
#include "transfer/transferreport.h"

#include <QBuffer>
#include <QTest>

class ProgressPrinterTest : public QObject
{
    Q_OBJECT

    // The transfer's own account, on a clock the test moves.
    qint64 m_now = 0;
    TransferReport m_report{[this] { return m_now; }};

private slots:
    void init() { m_now = 0; }

    void logGetsOnlyTheSummaryForAShortTransfer()
    {
        QBuffer out;
        QVERIFY(out.open(QIODevice::WriteOnly));
        ProgressPrinter progress(out, ProgressPrinter::Style::Lines);
        progress.showWaiting(QStringLiteral("waiting"));
        m_report.begin(TransferReport::Direction::Send, 1000);
        progress.start(m_report, QStringLiteral("sent"));
        m_report.setCount(500);
        m_report.setCount(1000);
        progress.finish(QStringLiteral("Sent 1000 bytes"));
        QCOMPARE(out.data(), QByteArray("Sent 1000 bytes\n"));
    }

    void terminalGetsOneLineRedrawnInPlace()
    {
        QBuffer out;
        QVERIFY(out.open(QIODevice::WriteOnly));
        ProgressPrinter progress(out, ProgressPrinter::Style::Live);
        progress.showWaiting(QStringLiteral("Waiting for data"));
        QVERIFY(out.data().startsWith("\rWaiting for data"));
        m_report.begin(TransferReport::Direction::Send, 4 * 1024 * 1024);
        progress.start(m_report, QStringLiteral("sent"));
        // A quarter in two seconds: the rest at that rate takes six.
        m_now = 2000;
        m_report.setCount(1024 * 1024);
        QTRY_VERIFY_WITH_TIMEOUT(out.data().contains("25%"), 10000);
        const QByteArray shown = out.data();
        QVERIFY2(
            shown.contains(
                "\r[#####...............]  25% 1.00 MiB / 4.00 MiB  512.0 KiB/s  ETA 6 s\x1b[K"),
            shown.constData());
        QVERIFY2(!shown.contains('\n'), shown.constData());

        progress.message(QStringLiteral("marlune: a note"));
        progress.finish(QStringLiteral("Sent it all"));
        // Each line of its own first clears the live line, so no bar is left in front of it.
        QVERIFY2(out.data().endsWith("\r\x1b[Kmarlune: a note\nSent it all\n"),
                 out.data().constData());
    }

    void textsReadNaturally()
    {
        // A message of several lines is one line of sentences in a log.
        QCOMPARE(ProgressPrinter::oneLine(QStringLiteral("Writing failed: Invalid argument\nThe "
                                                         "reception was stopped.\nSaved:\n12")),
                 QStringLiteral("Writing failed: Invalid argument. The reception was stopped. "
                                "Saved: 12"));
    }
};

QTEST_GUILESS_MAIN(ProgressPrinterTest)
#include "tst_progressprinter.moc"
