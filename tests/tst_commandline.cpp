#include "app/commandline.h"

#include <QTest>

class CommandLineTest : public QObject
{
    Q_OBJECT

private slots:
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

    void commandLineReadsOptionsAroundTheCommand()
    {
        const CommandLine line = CommandLine::parse(
            {QStringLiteral("marlune"), QStringLiteral("--com2"), QStringLiteral("/dev/b"),
             QStringLiteral("receive"), QStringLiteral("--idle"), QStringLiteral("1.5"),
             QStringLiteral("file.bin"), QStringLiteral("--max-bytes=100"),
             QStringLiteral("--force"), QStringLiteral("--com1"), QStringLiteral("/dev/a"),
             QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--baud"),
             QStringLiteral("115200")});
        QVERIFY2(line.error.isEmpty(), qPrintable(line.error));
        QCOMPARE(line.command, CommandLine::Command::Receive);
        QCOMPARE(line.file, QStringLiteral("file.bin"));
        QCOMPARE(line.devices.value(1), QStringLiteral("/dev/a"));
        QCOMPARE(line.devices.value(2), QStringLiteral("/dev/b"));
        QCOMPARE(line.port, std::optional<int>(1));
        QCOMPARE(line.baud, std::optional<qint32>(115200));
        QCOMPARE(line.idleMs, std::optional<qint64>(1500));
        QCOMPARE(line.maxBytes, std::optional<qint64>(100));
        QVERIFY(line.force);

        // A file name that looks like an option, after "--".
        const CommandLine dashed =
            CommandLine::parse({QStringLiteral("marlune"), QStringLiteral("send"),
                                QStringLiteral("--"), QStringLiteral("--odd-name")});
        QVERIFY2(dashed.error.isEmpty(), qPrintable(dashed.error));
        QCOMPARE(dashed.file, QStringLiteral("--odd-name"));
        QVERIFY(!dashed.port && !dashed.baud && !dashed.idleMs && !dashed.maxBytes);

        // The window keeps its own line, including options of the window system.
        QVERIFY(CommandLine::opensWindow({QStringLiteral("marlune")}));
        QVERIFY(CommandLine::opensWindow(
            {QStringLiteral("marlune"), QStringLiteral("--com1"), QStringLiteral("/dev/a")}));
        QVERIFY(CommandLine::opensWindow(
            {QStringLiteral("marlune"), QStringLiteral("-platform"), QStringLiteral("offscreen")}));
        QVERIFY(!CommandLine::opensWindow({QStringLiteral("marlune"), QStringLiteral("--com1"),
                                           QStringLiteral("/dev/a"), QStringLiteral("send"),
                                           QStringLiteral("x")}));
        QVERIFY(!CommandLine::opensWindow({QStringLiteral("marlune"), QStringLiteral("--help")}));
        QVERIFY(!CommandLine::opensWindow({QStringLiteral("marlune"), QStringLiteral("--bogus")}));
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
