#include "app/commandline.h"
#include "app/sha256.h"
#include "transfer/filetable.h"
#include "transfer/textpreview.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class HelpersTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void sha256OfAStream()
    {
        Sha256 hash;
        QCOMPARE(hash.hex(),
                 QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
        hash.addData("ab");
        hash.addData("c");
        QCOMPARE(hash.hex(),
                 QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
        // Asking mid-stream does not disturb what follows.
        QByteArray all("abc");
        for (int i = 0; i < 100'000; ++i) {
            const QByteArray piece(i % 97, static_cast<char>(i));
            hash.addData(piece);
            all += piece;
        }
        QCOMPARE(hash.hex(), QCryptographicHash::hash(all, QCryptographicHash::Sha256).toHex());
        hash.reset();
        hash.addData("abc");
        QCOMPARE(hash.hex(),
                 QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    }

    void freeFileTakesLowestUnused()
    {
        FileTable table;
        QCOMPARE(table.FreeFile(), qint16(1));
        for (int i = 1; i <= 3; ++i) {
            const qint16 number = table.FreeFile();
            QCOMPARE(number, qint16(i));
            QVERIFY(table.open(number, path(QStringLiteral("f%1").arg(i)),
                               FileTable::Mode::ReadWrite, nullptr));
        }
        table.close(2);
        QCOMPARE(table.FreeFile(), qint16(2));
        table.close(9); // never opened: nothing happens
        table.close(2); // already closed
        QVERIFY(table.isOpen(1) && table.isOpen(3));
        QCOMPARE(table.FreeFile(), qint16(2));
        table.close(1);
        QCOMPARE(table.FreeFile(), qint16(1));
    }

    void openModes()
    {
        FileTable table;
        QString error;
        QVERIFY(!table.open(1, path(QStringLiteral("missing")), FileTable::Mode::Read, &error));
        QVERIFY2(error.contains(QStringLiteral("No such file")), qPrintable(error));
        QVERIFY(!QFile::exists(path(QStringLiteral("missing"))));
        QVERIFY(!table.isOpen(1));

        for (const auto mode : {FileTable::Mode::Read, FileTable::Mode::ReadWrite}) {
            error.clear();
            QVERIFY(!table.open(1, m_dir.path(), mode, &error));
            QVERIFY(error.contains(QStringLiteral("folder")));
        }
        QVERIFY(!table.open(1, QString(), FileTable::Mode::ReadWrite, &error));

        QVERIFY(table.open(1, path(QStringLiteral("new")), FileTable::Mode::ReadWrite, &error));
        QVERIFY(QFile::exists(path(QStringLiteral("new"))));
        QCOMPARE(table.length(1), qint64(0));
        // A number in use stays with its file.
        QVERIFY(!table.open(1, path(QStringLiteral("other")), FileTable::Mode::ReadWrite, &error));
        QCOMPARE(table.path(1), path(QStringLiteral("new")));
    }

    void readWriteTruncate()
    {
        FileTable table;
        const QString file = path(QStringLiteral("data"));
        QString error;
        QVERIFY(writeFile(file, "abcdef"));
        // Opening for writing keeps what the file holds.
        QVERIFY(table.open(1, file, FileTable::Mode::ReadWrite, &error));
        QCOMPARE(table.length(1), qint64(6));
        QVERIFY(table.write(1, "XY", &error));
        QCOMPARE(table.position(1), qint64(2));
        // Already on disk while the file is still open.
        QCOMPARE(readFile(file), QByteArray("XYcdef"));

        char buffer[16] = {};
        QCOMPARE(table.read(1, buffer, 3, &error), qint64(3));
        QCOMPARE(QByteArray(buffer, 3), QByteArray("cde"));
        QCOMPARE(table.read(1, buffer, sizeof buffer, &error), qint64(1));
        QCOMPARE(buffer[0], 'f');
        QCOMPARE(table.read(1, buffer, sizeof buffer, &error), qint64(0));

        QVERIFY(table.truncate(1, &error));
        QCOMPARE(table.length(1), qint64(0));
        QCOMPARE(table.position(1), qint64(0));
        QVERIFY(table.write(1, "new", &error));
        QCOMPARE(readFile(file), QByteArray("new"));
        table.close(1);

        QVERIFY(table.open(1, file, FileTable::Mode::Read, &error));
        QCOMPARE(table.length(1), qint64(3));
        error.clear();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ReadOnly device")));
        QVERIFY(!table.write(1, "no", &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(readFile(file), QByteArray("new"));

        // A number that is not open answers with failures, not a crash.
        QCOMPARE(table.length(5), qint64(-1));
        QCOMPARE(table.read(5, buffer, 1, &error), qint64(-1));
        QVERIFY(!table.write(5, "x", &error));
    }

    void writeFailureIsReported()
    {
        FileTable table;
        QString error;
        QVERIFY(table.open(1, QStringLiteral("/dev/full"), FileTable::Mode::ReadWrite, &error));
        QVERIFY(!table.write(1, QByteArray(100, 'x'), &error));
        QVERIFY2(error.contains(QStringLiteral("space"), Qt::CaseInsensitive), qPrintable(error));
    }

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

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("com1");
        QTest::addColumn<QString>("com2");
        // Empty when the line is fine; otherwise what the error must name.
        QTest::addColumn<QString>("errorNames");

        const auto args = [](std::initializer_list<const char*> list) {
            QStringList out{QStringLiteral("marlune")};
            for (const char* a : list)
                out << QString::fromLatin1(a);
            return out;
        };
        QTest::newRow("none") << args({}) << QString() << QString() << QString();
        QTest::newRow("com1") << args({"--com1", "/dev/pts/4"}) << "/dev/pts/4" << QString()
                              << QString();
        QTest::newRow("com2 with =")
            << args({"--com2=/dev/ttyUSB0"}) << QString() << "/dev/ttyUSB0" << QString();
        QTest::newRow("both") << args({"--com2", "/tmp/b", "--com1", "/tmp/a"}) << "/tmp/a"
                              << "/tmp/b" << QString();
        QTest::newRow("missing value") << args({"--com1"}) << QString() << QString() << "com1";
        QTest::newRow("empty value") << args({"--com2="}) << QString() << QString() << "com2";
        QTest::newRow("stray argument")
            << args({"--com1", "/dev/a", "stray"}) << QString() << QString() << "stray";
        QTest::newRow("unknown option")
            << args({"--com3", "/dev/a"}) << QString() << QString() << "com3";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, com1);
        QFETCH(QString, com2);
        QFETCH(QString, errorNames);

        const CommandLine line = CommandLine::parse(arguments);
        QVERIFY2(errorNames.isEmpty() ? line.error.isEmpty() : line.error.contains(errorNames),
                 qPrintable(line.error));
        QVERIFY(!line.helpRequested);
        // The usage goes with every error message.
        QVERIFY(line.helpText.contains(QStringLiteral("--com1")));
        if (!errorNames.isEmpty()) {
            QVERIFY(line.devices.isEmpty());
            return;
        }
        QCOMPARE(line.devices.value(1), com1);
        QCOMPARE(line.devices.value(2), com2);
        QCOMPARE(line.devices.size(), int(!com1.isEmpty()) + int(!com2.isEmpty()));
    }
};

QTEST_GUILESS_MAIN(HelpersTest)
#include "tst_helpers.moc"
