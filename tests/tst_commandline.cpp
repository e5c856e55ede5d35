#include "cli/commandline.h"
#include "cli/portlisting.h"
#include "platform/portmap.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
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

    void portAndDeviceForTheRun_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("port"); // 0: the stored port
        // The devices mapped when the port in use is 2 (the stored one, say): "1=A 2=B".
        QTest::addColumn<QString>("devices");
        QTest::addColumn<QString>("errorNames");

        const QString s = QStringLiteral("send");
        const QString f = QStringLiteral("f.bin");
        const QString c1 = QStringLiteral("--com1");
        const QString c2 = QStringLiteral("--com2");
        const QString d = QStringLiteral("--device");
        const QString p = QStringLiteral("--port");
        QTest::newRow("--com1 alone selects COM1") << QStringList{s, f, c1, "A"} << 1 << "1=A"
                                                   << "";
        QTest::newRow("window: --com2 alone") << QStringList{c2, "B"} << 2 << "2=B"
                                              << "";
        QTest::newRow("both: the stored port") << QStringList{c1, "A", c2, "B"} << 0 << "1=A 2=B"
                                               << "";
        QTest::newRow("--port wins") << QStringList{s, f, c1, "A", p, "2"} << 2 << "1=A"
                                     << "";
        QTest::newRow("--device on the stored port") << QStringList{s, f, d, "D"} << 0 << "2=D"
                                                     << "";
        QTest::newRow("window: --device") << QStringList{d, "D"} << 0 << "2=D"
                                          << "";
        QTest::newRow("--device on --port")
            << QStringList{s, f, d, "D", p, "1", c2, "B"} << 1 << "1=D 2=B"
            << "";
        QTest::newRow("--device and --com1 alone") << QStringList{s, f, d, "D", c1, "A"} << 0 << ""
                                                   << "--device and --com1";
        QTest::newRow("--device and --com2 of --port")
            << QStringList{s, f, d, "D", c2, "B", p, "2"} << 0 << ""
            << "--device and --com2";
        QTest::newRow("--device and both") << QStringList{d, "D", c1, "A", c2, "B"} << 0 << ""
                                           << "both --com1 and --com2";
        QTest::newRow("empty --device") << QStringList{s, f, "--device="} << 0 << ""
                                        << "--device";
    }
    void portAndDeviceForTheRun()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, port);
        QFETCH(QString, devices);
        QFETCH(QString, errorNames);
        const CommandLine line =
            CommandLine::parse(QStringList{QStringLiteral("marlune")} + arguments);
        QVERIFY2(errorNames.isEmpty() ? line.error.isEmpty() : line.error.contains(errorNames),
                 qPrintable(line.error));
        if (!errorNames.isEmpty())
            return;
        QCOMPARE(line.port.value_or(0), port);
        QStringList mapped;
        const QMap<int, QString> map = line.devicesForRun(line.port.value_or(2));
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            mapped << QStringLiteral("%1=%2").arg(it.key()).arg(it.value());
        QCOMPARE(mapped.join(QLatin1Char(' ')), devices);
    }

    void commandLineReadsOptionsAroundTheCommand()
    {
        const CommandLine line = CommandLine::parse(
            {QStringLiteral("marlune"), QStringLiteral("--com2"), QStringLiteral("/dev/b"),
             QStringLiteral("receive"), QStringLiteral("--idle"), QStringLiteral("1.5"),
             QStringLiteral("file.bin"), QStringLiteral("--max-bytes=100"),
             QStringLiteral("--force"), QStringLiteral("--com1"), QStringLiteral("/dev/a"),
             QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--baud"),
             QStringLiteral("250000"), QStringLiteral("--timeout=0.5")});
        QVERIFY2(line.error.isEmpty(), qPrintable(line.error));
        QCOMPARE(line.command, CommandLine::Command::Receive);
        QCOMPARE(line.file, QStringLiteral("file.bin"));
        QCOMPARE(line.devices.value(1), QStringLiteral("/dev/a"));
        QCOMPARE(line.devices.value(2), QStringLiteral("/dev/b"));
        QCOMPARE(line.port, std::optional<int>(1));
        QCOMPARE(line.baud, std::optional<qint32>(250000));
        QCOMPARE(line.idleMs, std::optional<qint64>(1500));
        QCOMPARE(line.maxBytes, std::optional<qint64>(100));
        QCOMPARE(line.timeoutMs, std::optional<qint64>(500));
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
        QVERIFY(
            !CommandLine::opensWindow({QStringLiteral("marlune"), QStringLiteral("--version")}));
        QVERIFY(!CommandLine::opensWindow({QStringLiteral("marlune"), QStringLiteral("--bogus")}));
    }

    void portListingNamesThePortsOfEachDevice()
    {
        // COM1 stands for a by-id style link to the first device; COM2 for the platform's own.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString usb = dir.filePath(QStringLiteral("ttyUSB0"));
        const QString link = dir.filePath(QStringLiteral("usb-FTDI_A50285BI"));
        QVERIFY(QFile(usb).open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(usb, link));
        PortMap ports;
        ports.setStored(1, link);
        SerialPortList::Entry full{usb, link, QStringLiteral("FT232R\tUSB UART"),
                                   QStringLiteral("FTDI"), QStringLiteral("A50285BI")};
        SerialPortList::Entry bare{PortMap::platformDevice(2), {}, {}, {}, {}};
        SerialPortList::Entry other{QStringLiteral("/dev/ttyACM7"), {}, {}, {}, {}};

        QCOMPARE(PortListing::plain({full, bare, other}, ports),
                 usb + QLatin1Char('\t') + link +
                     QStringLiteral("\tFT232R USB UART\tFTDI\tA50285BI\tCOM1\n") +
                     PortMap::platformDevice(2) + QStringLiteral("\t-\t-\t-\t-\tCOM2\n") +
                     QStringLiteral("/dev/ttyACM7\t-\t-\t-\t-\t-\n"));
        ports.setStored(2, usb);
        const QJsonArray list =
            QJsonDocument::fromJson(PortListing::json({full, bare}, ports)).array();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].toObject().value(QStringLiteral("ports")).toArray(),
                 QJsonArray({QStringLiteral("COM1"), QStringLiteral("COM2")}));
        QCOMPARE(list[0].toObject().value(QStringLiteral("serialNumber")).toString(),
                 QStringLiteral("A50285BI"));
        QVERIFY(list[1].toObject().value(QStringLiteral("stablePath")).isNull());
        QCOMPARE(list[1].toObject().value(QStringLiteral("ports")).toArray(), QJsonArray());

        QCOMPARE(PortListing::plain({}, ports), QString());
        QCOMPARE(PortListing::json({}, ports), QByteArray("[]\n"));
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
