#include "testfiles.h"
#include "transfer/textpreview.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TextPreviewTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void textOrNot_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("cutBefore");
        QTest::addColumn<bool>("cutAfter");
        QTest::addColumn<bool>("text");

        const QByteArray prose = QByteArray("Line one\tcolumn\r\nLine two\n").repeated(40);
        QTest::newRow("empty") << QByteArray() << false << false << true;
        QTest::newRow("pure text") << prose << false << false << true;
        QTest::newRow("utf-8 text")
            << QByteArray("caf\xc3\xa9 \xe2\x82\xac 5") << false << false << true;
        QTest::newRow("a nul") << QByteArray("abc\0def", 7) << false << false << false;
        QTest::newRow("invalid utf-8") << QByteArray("abc\xff\xfe") << false << false << false;
        QTest::newRow("overlong utf-8") << QByteArray("a\xc0\xaf") << false << false << false;
        QTest::newRow("text with one control byte")
            << prose + QByteArray("\x1b") + prose << false << false << false;
        QTest::newRow("encoded C1 control") << QByteArray("a\xc2\x85z") << false << false << false;
        // An excerpt may begin or end inside a character; whole content may not.
        const QByteArray euro("\xe2\x82\xac");
        QTest::newRow("cut before a character's end")
            << euro.mid(1) + "abc" << true << false << true;
        QTest::newRow("whole, starting mid-character")
            << euro.mid(1) + "abc" << false << false << false;
        QTest::newRow("cut inside the last character")
            << "abc" + euro.left(2) << false << true << true;
        QTest::newRow("whole, ending mid-character")
            << "abc" + euro.left(2) << false << false << false;
    }

    void textOrNot()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, cutBefore);
        QFETCH(bool, cutAfter);
        QFETCH(bool, text);
        QCOMPARE(TextPreview::isText(bytes, cutBefore, cutAfter), text);
        const TextPreview::Preview preview =
            TextPreview::fromBytes(bytes, cutBefore ? 100 : 0, cutAfter);
        QCOMPARE(preview.hexDump, !text);
    }

    void textAsShown_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        const QString dot = TextPreview::asText("\xe2\x80\xae"); // a direction override
        QCOMPARE(dot.size(), 1);
        QVERIFY(dot.at(0).isPrint() && !dot.at(0).isSpace());

        QTest::newRow("markup stays text")
            << QByteArray("<b>x</b> &amp; <br>") << QStringLiteral("<b>x</b> &amp; <br>");
        QTest::newRow("line ends")
            << QByteArray("a\r\nb\rc\nd\r\n\r\n") << QStringLiteral("a\nb\nc\nd\n\n");
        QTest::newRow("tab stays") << QByteArray("a\tb") << QStringLiteral("a\tb");
        QTest::newRow("utf-8 text") << QByteArray("caf\xc3\xa9") << QStringLiteral("caf\u00e9");
        QTest::newRow("direction override")
            << QByteArray("ab\342\200\256cd") << QStringLiteral("ab%1cd").arg(dot);
    }

    void textAsShown()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QCOMPARE(TextPreview::asText(bytes), shown);
        QCOMPARE(TextPreview::fromBytes(bytes).text, shown);
    }

    void hexDump()
    {
        QByteArray bytes("Hello\n\0\x01\x7f\x80\xff~ ABCDEFGHI", 22);
        // The offset counts from where the excerpt starts in its content.
        QCOMPARE(TextPreview::hexDump(bytes, 0x1f0),
                 QStringLiteral("000001f0: 4865 6c6c 6f0a 0001 7f80 ff7e 2041 4243  "
                                "Hello......~ ABC\n"
                                "00000200: 4445 4647 4849                           DEFGHI"));
        const TextPreview::Preview preview = TextPreview::fromBytes(bytes, 0x1f0, true);
        QVERIFY(preview.hexDump);
        QCOMPARE(preview.text, TextPreview::hexDump(bytes, 0x1f0));
    }

    void previewFile()
    {
        TextPreview::Preview preview;
        QString error;
        QVERIFY(!TextPreview::fromFile(path(QStringLiteral("missing")), &preview, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!TextPreview::fromFile(m_dir.path(), &preview, &error));

        const QByteArray head(TextPreview::fileLimit, 'a');
        QVERIFY(writeFile(path(QStringLiteral("exact")), head));
        QVERIFY(TextPreview::fromFile(path(QStringLiteral("exact")), &preview, &error));
        QCOMPARE(preview.text, QString::fromLatin1(head));
        QVERIFY(!preview.hexDump);

        // The preview ends inside a character, which does not make the text binary.
        const QByteArray cut = head.chopped(1) + "\xc3\xa9 TAIL";
        QVERIFY(writeFile(path(QStringLiteral("long")), cut));
        QVERIFY(TextPreview::fromFile(path(QStringLiteral("long")), &preview, &error));
        QVERIFY(!preview.hexDump);
        QVERIFY(preview.text.startsWith(QString::fromLatin1(head.chopped(1))));
        QVERIFY(!preview.text.contains(QStringLiteral("TAIL")));
        const QString note = preview.text.mid(head.size());
        QVERIFY(!note.trimmed().isEmpty());
        QVERIFY2(note.contains(QString::number(cut.size())), qPrintable(note));

        QByteArray binary(2 * TextPreview::fileLimit, '\0');
        QVERIFY(writeFile(path(QStringLiteral("binary")), binary));
        QVERIFY(TextPreview::fromFile(path(QStringLiteral("binary")), &preview, &error));
        QVERIFY(preview.hexDump);
        const QStringList lines = preview.text.split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), TextPreview::hexDump(QByteArray(16, '\0')));
        QVERIFY(preview.text.contains(
            TextPreview::hexDump(QByteArray(16, '\0'), TextPreview::fileLimit - 16)));
        QVERIFY(lines.last().contains(QString::number(binary.size())));
    }
};

QTEST_GUILESS_MAIN(TextPreviewTest)
#include "tst_textpreview.moc"
