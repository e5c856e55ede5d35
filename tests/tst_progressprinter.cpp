// How progress looks on a terminal and in a log.
#include "cli/progressprinter.h"

#include <QBuffer>
#include <QTest>

class ProgressPrinterTest : public QObject
{
    Q_OBJECT

private slots:
    void logGetsOnlyTheSummaryForAShortTransfer()
    {
        QBuffer out;
        QVERIFY(out.open(QIODevice::WriteOnly));
        ProgressPrinter progress(out, ProgressPrinter::Style::Lines);
        progress.showWaiting(QStringLiteral("waiting"));
        progress.start(1000, QStringLiteral("sent"));
        progress.update(500);
        progress.update(1000);
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
        progress.start(4 * 1024 * 1024, QStringLiteral("sent"));
        progress.update(1024 * 1024);
        QTRY_VERIFY_WITH_TIMEOUT(out.data().contains("25%"), 10000);
        const QByteArray shown = out.data();
        QVERIFY2(shown.contains("[#####...............]  25% 1.00 MiB / 4.00 MiB"),
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
        QCOMPARE(ProgressPrinter::formatRate(2048, 1000), QStringLiteral("2.00 KiB/s"));
        QVERIFY(ProgressPrinter::formatRate(2048, 0).isEmpty());
    }
};

QTEST_GUILESS_MAIN(ProgressPrinterTest)
#include "tst_progressprinter.moc"
