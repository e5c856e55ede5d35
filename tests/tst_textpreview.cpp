#include "transfer/textpreview.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TextPreviewTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void previewBytes_data()
    {
        // The placeholder itself is the preview's choice; it only has to be one visible character.
        const QString dot = TextPreview::fromBytes(QByteArray(1, '\0'));
        QCOMPARE(dot.size(), 1);
        QVERIFY(dot.at(0).isPrint() && !dot.at(0).isSpace());

        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("markup stays text")
            << QByteArray("<b>x</b> &amp; <br>") << QStringLiteral("<b>x</b> &amp; <br>");
        QTest::newRow("line ends")
            << QByteArray("a\r\nb\rc\nd\r\n\r\n") << QStringLiteral("a\nb\nc\nd\n\n");
        QTest::newRow("tab stays") << QByteArray("a\tb") << QStringLiteral("a\tb");
        QTest::newRow("control bytes") << QByteArray("a\x01\x1b[2Jb\x7f", 8)
                                       << u'a' + dot + dot + QStringLiteral("[2Jb") + dot;
        QTest::newRow("nul") << QByteArray("x\0y", 3) << QStringLiteral("x%1y").arg(dot);
        QTest::newRow("utf-8 text") << QByteArray("caf\xc3\xa9") << QStringLiteral("caf\u00e9");
        QTest::newRow("not utf-8") << QByteArray("a\377\376b") << QStringLiteral("a%1%1b").arg(dot);
        QTest::newRow("direction override")
            << QByteArray("ab\342\200\256cd") << QStringLiteral("ab%1cd").arg(dot);
    }

    void previewBytes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QCOMPARE(TextPreview::fromBytes(bytes), shown);
    }

    void previewFile()
    {
        QString text;
        QString error;
        QVERIFY(!TextPreview::fromFile(path(QStringLiteral("missing")), &text, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!TextPreview::fromFile(m_dir.path(), &text, &error));

        const QByteArray head(TextPreview::fileLimit, 'a');
        QVERIFY(writeFile(path(QStringLiteral("exact")), head));
        QVERIFY(TextPreview::fromFile(path(QStringLiteral("exact")), &text, &error));
        QCOMPARE(text, QString::fromLatin1(head));

        QVERIFY(writeFile(path(QStringLiteral("long")), head + "TAIL"));
        QVERIFY(TextPreview::fromFile(path(QStringLiteral("long")), &text, &error));
        QVERIFY(text.startsWith(QString::fromLatin1(head)));
        QVERIFY(!text.contains(QStringLiteral("TAIL")));
        const QString note = text.mid(head.size());
        QVERIFY(!note.trimmed().isEmpty());
        QVERIFY2(note.contains(QString::number(head.size() + 4)), qPrintable(note));
    }
};

QTEST_GUILESS_MAIN(TextPreviewTest)
#include "tst_textpreview.moc"
