// The command line for scripts, run as a script runs it: `marlune send` and `marlune receive` as
// child processes, with a raw pseudo-terminal standing in for the device.
#include "farprogram.h"
#include "isolatedsettings.h"
#include "marlunerun.h"
#include "platform/commsettings.h"
#include "platform/portmap.h"
#include "platform/settingsstore.h"
#include "ptypair.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

// A FIFO at `path` with the test's end open without waiting: for reading, or for writing (then
// opened read-write, so that the program's open for reading finds a writer and does not wait).
int openFifo(const QString& path, bool forWriting)
{
    if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
        return -1;
    return ::open(QFile::encodeName(path).constData(),
                  forWriting ? O_RDWR | O_CLOEXEC : O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Everything waiting in the non-blocking `fd` now.
QByteArray readWaiting(int fd)
{
    QByteArray out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        out.append(buffer, n);
    return out;
}

// Writes all of `bytes` to the blocking `fd`, from a thread of its own.
std::thread writeAll(int fd, QByteArray bytes)
{
    return std::thread([fd, bytes] {
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.constData() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += n;
        }
    });
}

qint64 firstNumberAfter(const QString& text, const QString& before)
{
    const QRegularExpressionMatch match =
        QRegularExpression(QRegularExpression::escape(before) + QStringLiteral("(\\d+)"))
            .match(text);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// The far end is COM1 for the run.
QStringList onPort(const PtyPair& device)
{
    return {QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--com1"),
            device.devicePath()};
}

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString& name) const { return m_dir->filePath(name); }
    // Test data names files as "DIR/name"; the folder of a case exists only once it runs.
    QStringList inDir(QStringList texts) const
    {
        for (QString& text : texts)
            text.replace(QStringLiteral("DIR/"), m_dir->path() + QLatin1Char('/'));
        return texts;
    }

    static void transferData()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("small") << QByteArray("Hello, device!\r\n");
        QTest::newRow("every byte value") << everyByteValue(2);
        QTest::newRow("3 MiB") << randomBytes(3 * 1024 * 1024 + 77, 5);
    }

private slots:
    void init()
    {
        // A fresh folder for each case, so no file is left over from another.
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void cleanup()
    {
        // Each test starts from no stored settings.
        QFile::remove(SettingsStore(CommSettings::application).fileName());
    }

    void sendPutsTheFileOnTheLineUnchanged_data() { transferData(); }
    void sendPutsTheFileOnTheLineUnchanged()
    {
        QFETCH(QByteArray, data);
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("in.bin"));
        QVERIFY(writeFile(file, data));

        MarluneRun run(QStringList{QStringLiteral("send"), file} + onPort(device));
        const QByteArray arrived = device.readExactly(data.size(), 60000);
        QVERIFY2(run.waitForExit(), qPrintable(run.errorText()));
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QCOMPARE(arrived.size(), data.size());
        QVERIFY(arrived == data);
        QVERIFY(device.readAvailable().isEmpty()); // nothing added after the file

        // Not a terminal: a short send writes its summary and nothing else.
        const QStringList lines = run.errorText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith(QStringLiteral("Sent %1 bytes").arg(data.size())),
                 qPrintable(lines[0]));
        QVERIFY2(lines[0].endsWith(QStringLiteral("SHA-256 ") + sha256Hex(data)),
                 qPrintable(lines[0]));
    }

    void receiveStoresEveryByte_data() { transferData(); }
    void receiveStoresEveryByte()
    {
        QFETCH(QByteArray, data);
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("out.bin"));

        MarluneRun run(QStringList{QStringLiteral("receive"), file, QStringLiteral("--idle"),
                                   QStringLiteral("0.3")} +
                       onPort(device));
        QVERIFY(run.waitUntilHandlingStopSignals());
        QVERIFY(device.write(data, 60000));
        if (data.isEmpty()) // no first byte: only a stop ends it
            run.sendSignal(SIGTERM);
        QVERIFY2(run.waitForExit(), qPrintable(run.errorText()));
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        const QByteArray stored = readFile(file);
        QCOMPARE(stored.size(), data.size());
        QVERIFY(stored == data);
        const QString summary = run.errorText().trimmed().split(QLatin1Char('\n')).last();
        QVERIFY2(summary.startsWith(QStringLiteral("Received %1 bytes").arg(data.size())),
                 qPrintable(summary));
        QVERIFY2(summary.contains(data.isEmpty() ? QStringLiteral("ended by SIGTERM")
                                                 : QStringLiteral("ended by --idle")),
                 qPrintable(summary));
        QVERIFY2(summary.endsWith(QStringLiteral("SHA-256 ") + sha256Hex(data)),
                 qPrintable(summary));
    }

    void maxBytesEndsWithExactlyThatMany_data()
    {
        QTest::addColumn<int>("written");
        QTest::addColumn<int>("maxBytes");
        // Little enough to fit into the pty at once, so the test never waits on a full line.
        QTest::newRow("inside the data") << 12000 << 4321;
        // The last part of a reception waits in the port below a whole block; it counts too.
        QTest::newRow("all of it") << 1000 << 1000;
    }
    void maxBytesEndsWithExactlyThatMany()
    {
        QFETCH(int, written);
        QFETCH(int, maxBytes);
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("capped.bin"));
        const QByteArray data = randomBytes(written, 7);

        MarluneRun run(QStringList{QStringLiteral("receive"), file, QStringLiteral("--max-bytes"),
                                   QString::number(maxBytes)} +
                       onPort(device));
        QVERIFY(device.write(data));
        QVERIFY2(run.waitForExit(), qPrintable(run.errorText()));
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QCOMPARE(readFile(file), data.left(maxBytes));
        const QString text = run.errorText();
        // Bytes taken off the line past the limit are not kept, and the summary says so.
        const QRegularExpression ending(
            written > maxBytes
                ? QStringLiteral("ended by --max-bytes \\(\\d+ more bytes arrived and "
                                 "were not kept\\); SHA-256 ")
                : QStringLiteral("ended by --max-bytes; SHA-256 "));
        const QRegularExpressionMatch match = ending.match(text);
        QVERIFY2(match.hasMatch(), qPrintable(text));
        QVERIFY2(text.mid(match.capturedEnd()).startsWith(sha256Hex(data.left(maxBytes))),
                 qPrintable(text));
    }

    void readerOfProgressGoneKeepsTheTransfer()
    {
        // Progress to a reader that stopped reading (`| head`) must not end the transfer or
        // turn its success into a failure.
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("piped.bin"));
        const QByteArray data = randomBytes(5000, 11);
        QStringList command{MarluneRun::program(), QStringLiteral("receive"), file,
                            QStringLiteral("--max-bytes"), QString::number(data.size())};
        command += onPort(device);
        for (QString& word : command)
            word = QLatin1Char('\'') + word + QLatin1Char('\'');
        QProcess shell;
        // The reader is gone before the program starts, so anything it writes meets a broken
        // pipe.
        shell.start(QStringLiteral("bash"),
                    {QStringLiteral("-c"), QStringLiteral("{ sleep 0.3; ") +
                                               command.join(QLatin1Char(' ')) +
                                               QStringLiteral("; } 2>&1 | true; "
                                                              "exit ${PIPESTATUS[0]}")});
        QVERIFY(shell.waitForStarted());
        QVERIFY(device.write(data));
        QVERIFY(shell.waitForFinished(30000));
        QCOMPARE(shell.exitCode(), 0);
        QCOMPARE(readFile(file), data);
    }

    void idleCountsOnlyFromTheFirstByte()
    {
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("late.bin"));
        MarluneRun run(QStringList{QStringLiteral("receive"), file, QStringLiteral("--idle"),
                                   QStringLiteral("0.2")} +
                       onPort(device));
        QVERIFY(run.waitUntilHandlingStopSignals());
        // Several idle times pass before the device says anything; the reception still waits.
        QVERIFY2(!run.waitForExit(1000), qPrintable(run.describeEnd() + run.errorText()));
        QVERIFY(device.write("late but welcome"));
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QCOMPARE(readFile(file), QByteArray("late but welcome"));
    }

    void stopSignalKeepsEveryByte_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QString>("name");
        QTest::newRow("SIGTERM") << int(SIGTERM) << QStringLiteral("SIGTERM");
        QTest::newRow("Ctrl-C") << int(SIGINT) << QStringLiteral("SIGINT");
    }
    void stopSignalKeepsEveryByte()
    {
        QFETCH(int, signalNumber);
        QFETCH(QString, name);
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("stopped.bin"));
        // Not a whole number of blocks: the last part still waits in the port at the stop.
        const QByteArray data = randomBytes(200 * 1024 + 123, 11);

        MarluneRun run(QStringList{QStringLiteral("receive"), file} + onPort(device));
        QVERIFY(run.waitUntilHandlingStopSignals());
        QVERIFY(device.write(data));
        QTRY_VERIFY_WITH_TIMEOUT(fileSize(file) > data.size() - 512, 20000);
        run.sendSignal(signalNumber);
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        const QByteArray stored = readFile(file);
        QCOMPARE(stored.size(), data.size());
        QVERIFY(stored == data);
        QVERIFY2(run.errorText().contains(QStringLiteral("ended by ") + name),
                 qPrintable(run.errorText()));
    }

    void killedReceiverHasAllButTheLastMoments()
    {
        // A kill, a crash or a power cut: the file holds every byte that arrived up to a moment
        // before, a tail shorter than a block included, and nothing else.
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("killed.bin"));
        const QByteArray data = randomBytes(8 * 1024 * 1024, 13);
        constexpr qint64 chunk = 8192;

        MarluneRun run(QStringList{QStringLiteral("receive"), file} + onPort(device));
        QVERIFY(run.waitUntilHandlingStopSignals());
        qint64 written = 0;
        while (written < data.size() && fileSize(file) < 256 * 1024) {
            QVERIFY(device.write(data.mid(written, chunk)));
            written += chunk;
        }
        QVERIFY2(fileSize(file) >= 256 * 1024, "the reception never got going");
        QVERIFY(device.write(data.mid(written, 1000)));
        written += 1000;
        QTRY_COMPARE_WITH_TIMEOUT(fileSize(file), written, 20000);
        run.sendSignal(SIGKILL);
        QVERIFY(run.waitForExit());

        const QByteArray stored = readFile(file);
        QCOMPARE(stored.size(), written);
        QVERIFY2(stored == data.left(written), "the file is not what the line brought");
    }

    void sendStopsOnSignalAndSaysHowFarItGot()
    {
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("long.bin"));
        const QByteArray data = randomBytes(2 * 1024 * 1024, 17);
        QVERIFY(writeFile(file, data));

        MarluneRun run(QStringList{QStringLiteral("send"), file} + onPort(device));
        QVERIFY(run.waitUntilHandlingStopSignals());
        // The device takes one byte and reads nothing more, so the line fills and the send
        // waits.
        QByteArray arrived;
        QVERIFY(
            QTest::qWaitFor([&] { return !(arrived = device.readAvailable(1)).isEmpty(); }, 20000));
        run.sendSignal(SIGTERM);
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(1), qPrintable(run.describeEnd() + run.errorText()));
        arrived += device.readAvailable();

        const QString text = run.errorText();
        const QRegularExpressionMatch match =
            QRegularExpression(
                // A pty never tells what it still holds for the far end, so it is "at most".
                QStringLiteral("Stopped by SIGTERM after at most (\\d+) of (\\d+) bytes "
                               "were sent"))
                .match(text);
        QVERIFY2(match.hasMatch(), qPrintable(text));
        const qint64 sent = match.captured(1).toLongLong();
        QCOMPARE(match.captured(2).toLongLong(), qint64(data.size()));
        QVERIFY2(sent < data.size(), qPrintable(text));
        QVERIFY(arrived.size() <= sent);
        QVERIFY(arrived == data.left(arrived.size()));
    }

    void refusesToOverwriteUnlessForced()
    {
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("precious.bin"));
        QVERIFY(writeFile(file, "precious data"));

        {
            MarluneRun run(QStringList{QStringLiteral("receive"), file} + onPort(device));
            QVERIFY(run.waitForExit());
            QVERIFY2(run.exitedWith(1), qPrintable(run.describeEnd()));
            QVERIFY2(run.errorText().contains(file + QStringLiteral(" is not empty; use --force")),
                     qPrintable(run.errorText()));
            QCOMPARE(readFile(file), QByteArray("precious data"));
        }
        {
            // Forced, but the port does not open: the file keeps its data.
            MarluneRun run({QStringLiteral("receive"), file, QStringLiteral("--force"),
                            QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--com1"),
                            path(QStringLiteral("no-such-device"))});
            QVERIFY(run.waitForExit());
            QVERIFY2(run.exitedWith(1), qPrintable(run.describeEnd()));
            QCOMPARE(readFile(file), QByteArray("precious data"));
        }
        {
            MarluneRun run(QStringList{QStringLiteral("receive"), file, QStringLiteral("--force"),
                                       QStringLiteral("--idle"), QStringLiteral("0.2")} +
                           onPort(device));
            QVERIFY(device.write("new"));
            QVERIFY(run.waitForExit());
            QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
            QCOMPARE(readFile(file), QByteArray("new"));
        }
    }

    void usageErrorsExitWithTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("says");
        const QString out = QStringLiteral("DIR/out.bin");
        QTest::newRow("unknown command") << QStringList{QStringLiteral("fetch"), out} << "fetch";
        QTest::newRow("no file") << QStringList{QStringLiteral("send")} << "needs a FILE";
        QTest::newRow("two files")
            << QStringList{QStringLiteral("send"), out, out} << "Unexpected argument";
        QTest::newRow("unknown option")
            << QStringList{QStringLiteral("receive"), out, QStringLiteral("--fast")} << "fast";
        QTest::newRow("option without value")
            << QStringList{QStringLiteral("receive"), out, QStringLiteral("--idle")} << "idle";
        QTest::newRow("port 3") << QStringList{QStringLiteral("send"), out,
                                               QStringLiteral("--port"), QStringLiteral("3")}
                                << "--port must be 1 or 2";
        QTest::newRow("speed below 50")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--baud"),
                           QStringLiteral("49")}
            << "--baud must be a whole number";
        QTest::newRow("speed not a number")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--baud=fast")}
            << "--baud must be a whole number";
        QTest::newRow("idle 0") << QStringList{QStringLiteral("receive"), out,
                                               QStringLiteral("--idle"), QStringLiteral("0")}
                                << "--idle must be";
        QTest::newRow("idle not a number")
            << QStringList{QStringLiteral("receive"), out, QStringLiteral("--idle=soon")}
            << "--idle must be";
        QTest::newRow("negative max-bytes")
            << QStringList{QStringLiteral("receive"), out, QStringLiteral("--max-bytes"),
                           QStringLiteral("-5")}
            << "--max-bytes must be";
        QTest::newRow("fractional max-bytes")
            << QStringList{QStringLiteral("receive"), out, QStringLiteral("--max-bytes=1.5")}
            << "--max-bytes must be";
        QTest::newRow("receive option on send")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--force")}
            << "--force belongs to the receive command";
        QTest::newRow("unknown flow control")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--flow"),
                           QStringLiteral("dtrdsr")}
            << "--flow must be none, rtscts or xonxoff";
        QTest::newRow("speed above 12 Mbaud")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--baud"),
                           QStringLiteral("12000001")}
            << "--baud must be a whole number";
        QTest::newRow("negative line delay")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--line-delay"),
                           QStringLiteral("-1")}
            << "--line-delay must be a whole number of milliseconds";
        QTest::newRow("wait timeout without text")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--wait-timeout"),
                           QStringLiteral("3")}
            << "--wait-timeout goes with --wait-for";
        QTest::newRow("reconnect on send")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--reconnect")}
            << "--reconnect belongs to the receive command";
        QTest::newRow("pacing on receive")
            << QStringList{QStringLiteral("receive"), out, QStringLiteral("--char-delay"),
                           QStringLiteral("3")}
            << "--char-delay belongs to the send command";
        QTest::newRow("unknown protocol")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--protocol=zmodem")}
            << "--protocol must be one of raw, xmodem, xmodem-1k, ymodem";
        QTest::newRow("raw reception option with a protocol")
            << QStringList{QStringLiteral("receive"), out, QStringLiteral("--protocol=xmodem"),
                           QStringLiteral("--idle=1")}
            << "--idle belongs to raw transfers";
        QTest::newRow("protocol option without a protocol")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--retries=3")}
            << "--retries belongs to --protocol";
        QTest::newRow("pacing with a protocol")
            << QStringList{QStringLiteral("send"), out, QStringLiteral("--protocol=xmodem"),
                           QStringLiteral("--line-delay=5")}
            << "--line-delay belongs to raw transfers";
        QTest::newRow("protocol on standard input")
            << QStringList{QStringLiteral("send"), QStringLiteral("-"),
                           QStringLiteral("--protocol=ymodem")}
            << "--protocol ymodem needs a file";
        QTest::newRow("transfer option on the window")
            << QStringList{QStringLiteral("--baud"), QStringLiteral("9600")}
            << "--baud belongs to the send and receive commands";
    }
    void usageErrorsExitWithTwo()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, says);
        MarluneRun run(inDir(arguments));
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(2), qPrintable(run.describeEnd() + run.errorText()));
        QVERIFY2(run.errorText().contains(says), qPrintable(run.errorText()));
        // One pointer to the help, not two.
        QVERIFY2(run.errorText().count(QStringLiteral("--help")) == 1, qPrintable(run.errorText()));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("out.bin"))));
    }

    void helpExplainsEveryOption_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("general") << QStringList{QStringLiteral("--help")}
                                 << QStringList{"send FILE", "receive FILE", "ports",    "--com1",
                                                "--com2",    "--device",     "--version"};
        QTest::newRow("send")
            << QStringList{QStringLiteral("send"), QStringLiteral("--help")}
            << QStringList{"--port",       "--baud",          "--com1",          "--com2",
                           "--device",     "--version",       "--flow",          "--char-delay",
                           "--line-delay", "--wait-for",      "--wait-timeout",  "Exit status",
                           "--protocol",   "--start-timeout", "--block-timeout", "--retries",
                           "0x1A"};
        QTest::newRow("receive") << QStringList{QStringLiteral("receive"), QStringLiteral("-h")}
                                 << QStringList{"--port",      "--baud",  "--idle",     "--timeout",
                                                "--max-bytes", "--force", "--com1",     "--com2",
                                                "--device",    "--flow",  "Exit status"};
        QTest::newRow("ports") << QStringList{QStringLiteral("ports"), QStringLiteral("--help")}
                               << QStringList{"--json", "--version"};
    }
    void helpExplainsEveryOption()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, options);
        MarluneRun run(arguments);
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        const QString help = run.outputText();
        for (const QString& option : options)
            QVERIFY2(help.contains(option), qPrintable(option + QStringLiteral(" in:\n") + help));
    }

    void versionOnEveryCommand_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("alone") << QStringList{QStringLiteral("--version")};
        QTest::newRow("send") << QStringList{QStringLiteral("send"), QStringLiteral("x"),
                                             QStringLiteral("--version")};
        QTest::newRow("receive") << QStringList{QStringLiteral("receive"),
                                                QStringLiteral("--version")};
        QTest::newRow("ports") << QStringList{QStringLiteral("--version"), QStringLiteral("ports")};
    }
    void versionOnEveryCommand()
    {
        QFETCH(QStringList, arguments);
        MarluneRun run(arguments);
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QCOMPARE(run.outputText(), QStringLiteral("marlune " MARLUNE_VERSION "\n"));
    }

    void portsListsTheSameInBothForms()
    {
        // Serial devices cannot be made for a test; what the machine has (often none) must read
        // the same both ways, and none is an empty list, not an error.
        MarluneRun plain({QStringLiteral("ports")});
        MarluneRun json({QStringLiteral("ports"), QStringLiteral("--json")});
        QVERIFY(plain.waitForExit() && json.waitForExit());
        QVERIFY2(plain.exitedWith(0) && json.exitedWith(0),
                 qPrintable(plain.errorText() + json.errorText()));
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(json.outputText().toUtf8(), &error);
        QVERIFY2(error.error == QJsonParseError::NoError && document.isArray(),
                 qPrintable(json.outputText()));
        const QStringList lines = plain.outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), document.array().size());
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QJsonObject entry = document.array()[i].toObject();
            QCOMPARE(lines[i].section(QLatin1Char('\t'), 0, 0),
                     entry.value(QStringLiteral("path")).toString());
            QCOMPARE(lines[i].count(QLatin1Char('\t')), 5);
        }
        if (lines.isEmpty())
            QCOMPARE(json.outputText(), QStringLiteral("[]\n"));
    }

    void ymodemBothWaysAgainstLrzsz()
    {
        // A device's YMODEM: lrzsz's rb stores what marlune sends under the same name and bytes,
        // and marlune stores what sb sends into a folder.
        const QByteArray data = randomBytes(200'000, 11) + QByteArray(2, '\x1a');
        QVERIFY(QDir().mkpath(path(QStringLiteral("far"))));
        QVERIFY(QDir().mkpath(path(QStringLiteral("near"))));
        QVERIFY(writeFile(path(QStringLiteral("fw.bin")), data));
        {
            FarProgram rb;
            QVERIFY(rb.isValid());
            MarluneRun run({QStringLiteral("send"), path(QStringLiteral("fw.bin")),
                            QStringLiteral("--protocol"), QStringLiteral("ymodem"),
                            QStringLiteral("--device"), rb.devicePath()});
            QTRY_VERIFY(rb.isHeld());
            QVERIFY(rb.start(QStringLiteral("rb"), path(QStringLiteral("far"))));
            QVERIFY(run.waitForExit(60000));
            QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
            QVERIFY2(run.errorText().contains(QStringLiteral("Sent 200002 bytes")) &&
                         run.errorText().contains(QStringLiteral("by YMODEM; SHA-256 ") +
                                                  sha256Hex(data)),
                     qPrintable(run.errorText()));
            int exitCode = -1;
            QVERIFY(rb.waitForExit(10000, &exitCode));
            QCOMPARE(exitCode, 0);
            QCOMPARE(readFile(path(QStringLiteral("far/fw.bin"))), data);
        }
        FarProgram sb;
        QVERIFY(sb.start(QStringLiteral("sb ../fw.bin"), path(QStringLiteral("far"))));
        MarluneRun run({QStringLiteral("receive"), path(QStringLiteral("near")),
                        QStringLiteral("--protocol"), QStringLiteral("ymodem"),
                        QStringLiteral("--device"), sb.devicePath()});
        QVERIFY(run.waitForExit(60000));
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QVERIFY2(run.errorText().contains(QStringLiteral("Received 200002 bytes")) &&
                     run.errorText().contains(sha256Hex(data)),
                 qPrintable(run.errorText()));
        QCOMPARE(readFile(path(QStringLiteral("near/fw.bin"))), data);
    }

    void protocolFailureSaysWhereAndExitsWithOne()
    {
        // Nobody at the far end begins: the message names where it stopped and why, and the
        // file named is left as it was found.
        PtyPair device;
        MarluneRun run(QStringList{QStringLiteral("receive"), path(QStringLiteral("x.bin")),
                                   QStringLiteral("--protocol"), QStringLiteral("xmodem"),
                                   QStringLiteral("--start-timeout"), QStringLiteral("0.5")} +
                       onPort(device));
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(1), qPrintable(run.describeEnd() + run.errorText()));
        QCOMPARE(run.errorText(),
                 QStringLiteral("marlune: The reception failed at the start, before any block: "
                                "no sender began within 0.5 s. \"%1\" was left as it was "
                                "found.\n")
                     .arg(path(QStringLiteral("x.bin"))));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("x.bin"))));
    }

    void transferFailuresExitWithOne_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("says");
        const QString missingDevice = QStringLiteral("DIR/no-such-device");
        const QString missingFile = QStringLiteral("DIR/no-such-file.bin");
        const QString existing = QStringLiteral("DIR/exists.bin");
        const QString inMissingFolder = QStringLiteral("DIR/no-such-folder/out.bin");
        QTest::newRow("send: no device")
            << QStringList{QStringLiteral("send"),   existing,
                           QStringLiteral("--com2"), missingDevice,
                           QStringLiteral("--port"), QStringLiteral("2")}
            << QStringList{QStringLiteral("COM2 (") + missingDevice + QLatin1Char(')')};
        QTest::newRow("send: no file") << QStringList{QStringLiteral("send"),   missingFile,
                                                      QStringLiteral("--com1"), missingDevice,
                                                      QStringLiteral("--port"), QStringLiteral("1")}
                                       << QStringList{missingFile};
        QTest::newRow("send: a folder, not a file")
            << QStringList{QStringLiteral("send"),   QStringLiteral("DIR/."),
                           QStringLiteral("--com1"), missingDevice,
                           QStringLiteral("--port"), QStringLiteral("1")}
            << QStringList{QStringLiteral("\"DIR/.\""), QStringLiteral("not a regular file")};
        QTest::newRow("send: a pipe, which has no length")
            << QStringList{QStringLiteral("send"),   QStringLiteral("/dev/stdin"),
                           QStringLiteral("--com1"), missingDevice,
                           QStringLiteral("--port"), QStringLiteral("1")}
            << QStringList{QStringLiteral("not a regular file")};
        QTest::newRow("send: a file of the system with no length")
            << QStringList{QStringLiteral("send"),   QStringLiteral("/proc/self/status"),
                           QStringLiteral("--com1"), missingDevice,
                           QStringLiteral("--port"), QStringLiteral("1")}
            << QStringList{QStringLiteral("length reads 0")};
        QTest::newRow("send: a device")
            << QStringList{QStringLiteral("send"),   QStringLiteral("/dev/zero"),
                           QStringLiteral("--com1"), missingDevice,
                           QStringLiteral("--port"), QStringLiteral("1")}
            << QStringList{QStringLiteral("device, not a regular file")};
        // Writes to it would wait for a reader forever, deaf to Ctrl-C.
        QTest::newRow("receive: a pipe nobody reads")
            << QStringList{QStringLiteral("receive"), QStringLiteral("DIR/fifo"),
                           QStringLiteral("--com1"),  missingDevice,
                           QStringLiteral("--port"),  QStringLiteral("1")}
            << QStringList{QStringLiteral("not a regular file")};
        QTest::newRow("receive: no device")
            << QStringList{QStringLiteral("receive"), QStringLiteral("DIR/new.bin"),
                           QStringLiteral("--com1"),  missingDevice,
                           QStringLiteral("--port"),  QStringLiteral("1")}
            << QStringList{QStringLiteral("COM1 (") + missingDevice + QLatin1Char(')')};
        QTest::newRow("receive: no folder")
            << QStringList{QStringLiteral("receive"), inMissingFolder,
                           QStringLiteral("--com1"),  missingDevice,
                           QStringLiteral("--port"),  QStringLiteral("1")}
            << QStringList{inMissingFolder};
    }
    void transferFailuresExitWithOne()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, says);
        QVERIFY(writeFile(path(QStringLiteral("exists.bin")), "data"));
        QCOMPARE(::mkfifo(QFile::encodeName(path(QStringLiteral("fifo"))).constData(), 0600), 0);
        MarluneRun run(inDir(arguments));
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(1), qPrintable(run.describeEnd() + run.errorText()));
        const QStringList lines = run.errorText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        for (const QString& text : inDir(says))
            QVERIFY2(lines[0].contains(text), qPrintable(lines[0]));
        // A reception that could not start leaves no file behind.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("new.bin"))));
    }

    void storedPortAndSpeedAreTheDefaults()
    {
        PtyPair device;
        QVERIFY(device.isValid());
        const QString stale = path(QStringLiteral("stale-device"));
        SettingsStore store(CommSettings::application);
        CommSettings::savePort(store, 1);
        CommSettings::saveBaud(store, QStringLiteral("4800,N,8,1"));
        PortMap devices;
        devices.setStored(1, stale);
        CommSettings::saveDevices(store, devices);
        CommSettings::saveFlow(store, 1, LineSettings::Flow::XonXoff);
        QVERIFY(store.sync(nullptr));
        const QByteArray storedBefore = readFile(store.fileName());
        const QString file = path(QStringLiteral("in.bin"));
        QVERIFY(writeFile(file, "stored choice"));

        {
            // The stored port, its stored device and the stored speed.
            MarluneRun run({QStringLiteral("send"), file});
            QVERIFY(run.waitForExit());
            QVERIFY2(run.exitedWith(1), qPrintable(run.describeEnd() + run.errorText()));
            QVERIFY2(run.errorText().contains(QStringLiteral("COM1 (") + stale),
                     qPrintable(run.errorText()));
        }
        {
            // --com1 replaces the stored device for the run; port and speed stay stored.
            MarluneRun run(
                {QStringLiteral("send"), file, QStringLiteral("--com1"), device.devicePath()});
            QCOMPARE(device.readExactly(13), QByteArray("stored choice"));
            QVERIFY(run.waitForExit());
            QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
            QVERIFY2(run.errorText().contains(
                         QStringLiteral(" to COM1 (%1) at 4800,N,8,1 ").arg(device.devicePath())),
                     qPrintable(run.errorText()));
        }
        {
            MarluneRun run({QStringLiteral("send"), file, QStringLiteral("--baud"),
                            QStringLiteral("115200"), QStringLiteral("--com1"),
                            device.devicePath()});
            QCOMPARE(device.readExactly(13), QByteArray("stored choice"));
            QVERIFY(run.waitForExit());
            QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
            QVERIFY2(run.errorText().contains(QStringLiteral(" at 115200,N,8,1 ")),
                     qPrintable(run.errorText()));
        }
        // The port's stored XON/XOFF: bytes that the line takes for flow control go out as data,
        // with a warning; --flow none for the run has none to give.
        const QString flowBytes = path(QStringLiteral("flow.bin"));
        QVERIFY(writeFile(flowBytes, QByteArray("a\x11z\x13")));
        for (const bool stored : {true, false}) {
            QStringList arguments{QStringLiteral("send"), flowBytes, QStringLiteral("--com1"),
                                  device.devicePath()};
            if (!stored)
                arguments << QStringLiteral("--flow") << QStringLiteral("none");
            MarluneRun run(arguments);
            QCOMPARE(device.readExactly(4), QByteArray("a\x11z\x13"));
            QVERIFY(run.waitForExit());
            QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
            QCOMPARE(run.errorText().contains(QStringLiteral("contains 0x11/0x13 bytes")), stored);
        }
        // The commands only read the store.
        QCOMPARE(readFile(store.fileName()), storedBefore);
    }

    void deviceOptionsChooseTheLine_data()
    {
        QTest::addColumn<QStringList>("options"); // DEVICE stands for the far end's pty
        QTest::addColumn<QString>("port");
        QTest::newRow("--com1 alone selects COM1")
            << QStringList{QStringLiteral("--com1"), QStringLiteral("DEVICE")} << "COM1";
        QTest::newRow("--device on the default port")
            << QStringList{QStringLiteral("--device"), QStringLiteral("DEVICE")} << "COM2";
        QTest::newRow("--device on --port")
            << QStringList{QStringLiteral("--port"), QStringLiteral("1"),
                           QStringLiteral("--device"), QStringLiteral("DEVICE")}
            << "COM1";
    }
    void deviceOptionsChooseTheLine()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, port);
        PtyPair device;
        QVERIFY(device.isValid());
        options.replaceInStrings(QStringLiteral("DEVICE"), device.devicePath());
        const QString file = path(QStringLiteral("in.bin"));
        QVERIFY(writeFile(file, "through the line"));
        MarluneRun run(QStringList{QStringLiteral("send"), file} + options);
        QCOMPARE(device.readExactly(16), QByteArray("through the line"));
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QVERIFY2(run.errorText().contains(
                     QStringLiteral(" to %1 (%2) at 9600,N,8,1 ").arg(port, device.devicePath())),
                 qPrintable(run.errorText()));
    }

    void windowStartsOnThePortNamedAlone()
    {
        // Its start is kept by a close (a stop signal closes it as its close button does); the
        // device given for the run is not.
        PtyPair device;
        QVERIFY(device.isValid());
        MarluneRun run({QStringLiteral("--com1"), device.devicePath(), QStringLiteral("-platform"),
                        QStringLiteral("offscreen")});
        QVERIFY(run.waitUntilHandlingStopSignals());
        run.sendSignal(SIGTERM);
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        const QString stored =
            QString::fromUtf8(readFile(SettingsStore(CommSettings::application).fileName()));
        QVERIFY2(stored.contains(QStringLiteral("Port=1")), qPrintable(stored));
        QVERIFY2(!stored.contains(device.devicePath()), qPrintable(stored));
    }

    void anySpeedTheDeviceTakes()
    {
        // A speed outside termios's table, as many boards use, up to the 12 Mbaud of the
        // fastest adapters; a pty takes any. The flow control asked for reaches the line.
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("in.bin"));
        const QByteArray data = randomBytes(4 * 1024 * 1024, 23);
        QVERIFY(writeFile(file, data));
        MarluneRun run({QStringLiteral("send"), file, QStringLiteral("--baud"),
                        QStringLiteral("12000000"), QStringLiteral("--flow"),
                        QStringLiteral("rtscts"), QStringLiteral("--com1"), device.devicePath()});
        // The file is far more than the pty takes, so the program still holds the line while
        // we look.
        QByteArray arrived = device.readExactly(1);
        QCOMPARE(device.speed(), 12000000);
        QCOMPARE(device.flowControl(), QStringLiteral("rtscts"));
        QVERIFY(device.isHeld());
        arrived += device.readExactly(data.size() - arrived.size(), 60000);
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QVERIFY(arrived == data);
        QVERIFY2(run.errorText().contains(QStringLiteral(" at 12000000,N,8,1 ")),
                 qPrintable(run.errorText()));
    }

    void pacedSendWaitsForTheDevice()
    {
        // The device answers the first line with its prompt and never the second.
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("script.txt"));
        QVERIFY(writeFile(file, "first\r\nsecond\r\n"));
        MarluneRun run({QStringLiteral("send"), file, QStringLiteral("--wait-for"),
                        QStringLiteral("> "), QStringLiteral("--wait-timeout"),
                        QStringLiteral("0.5"), QStringLiteral("--line-delay"),
                        QStringLiteral("100"), QStringLiteral("--com1"), device.devicePath()});
        QCOMPARE(device.readExactly(7), QByteArray("first\r\n"));
        QVERIFY(device.write("> "));
        QCOMPARE(device.readExactly(8), QByteArray("second\r\n"));
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(1), qPrintable(run.describeEnd() + run.errorText()));
        QVERIFY2(run.errorText().contains(QStringLiteral("No \"> \" came from COM1 (%1) within "
                                                         "0.5 s after line 2")
                                              .arg(device.devicePath())),
                 qPrintable(run.errorText()));
        QVERIFY2(run.errorText().contains(QStringLiteral("after 15 of 15 bytes")),
                 qPrintable(run.errorText()));
    }

    void transferWaitsForADeviceThatAppearsLater()
    {
        // The device's name is a link that appears only after the program started, as a board's
        // USB port after a reset.
        PtyPair device;
        QVERIFY(device.isValid());
        const QString link = path(QStringLiteral("board"));
        const QString file = path(QStringLiteral("in.bin"));
        QVERIFY(writeFile(file, "late device"));
        MarluneRun run({QStringLiteral("send"), file, QStringLiteral("--wait-for-device"),
                        QStringLiteral("20"), QStringLiteral("--com1"), link});
        QTRY_VERIFY_WITH_TIMEOUT(run.errorText().contains(QStringLiteral("waiting up to 20 s")),
                                 20000);
        QVERIFY(run.isRunning());
        QVERIFY(QFile::link(device.devicePath(), link));
        QCOMPARE(device.readExactly(11), QByteArray("late device"));
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));

        // A device that never comes: the wait ends with the time it took.
        MarluneRun never({QStringLiteral("receive"), path(QStringLiteral("out.bin")),
                          QStringLiteral("--wait-for-device"), QStringLiteral("0.3"),
                          QStringLiteral("--com1"), path(QStringLiteral("nothing"))});
        QVERIFY(never.waitForExit());
        QVERIFY2(never.exitedWith(1), qPrintable(never.describeEnd() + never.errorText()));
        QVERIFY2(never.errorText().contains(QStringLiteral("did not appear within 0.3 s")),
                 qPrintable(never.errorText()));
    }

    void receptionReconnectsWhenTheDeviceComesBack()
    {
        // The device's stable name is a link; the device goes away, and comes back as another
        // pseudo-terminal under the same name.
        auto first = std::make_unique<PtyPair>();
        QVERIFY(first->isValid());
        const QString link = path(QStringLiteral("board"));
        QVERIFY(QFile::link(first->devicePath(), link));
        const QString file = path(QStringLiteral("out.bin"));
        MarluneRun run({QStringLiteral("receive"), file, QStringLiteral("--reconnect"),
                        QStringLiteral("--com1"), link});
        QVERIFY(run.waitUntilHandlingStopSignals());
        const QByteArray before = randomBytes(30'000, 31);
        QVERIFY(first->write(before));
        QTRY_COMPARE_WITH_TIMEOUT(fileSize(file), before.size(), 20000);
        first->closeMaster();
        QTRY_VERIFY_WITH_TIMEOUT(run.errorText().contains(QStringLiteral("waiting for the device")),
                                 20000);
        QVERIFY(QFile::remove(link));
        QTest::qWait(500);
        PtyPair second;
        QVERIFY(second.isValid());
        QVERIFY(QFile::link(second.devicePath(), link));
        QTRY_VERIFY_WITH_TIMEOUT(second.isHeld(), 20000);
        QVERIFY(run.errorText().contains(QStringLiteral("is back after")));
        const QByteArray after = randomBytes(20'000, 32);
        QVERIFY(second.write(after));
        QTRY_COMPARE_WITH_TIMEOUT(fileSize(file), before.size() + after.size(), 20000);
        run.sendSignal(SIGINT);
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QVERIFY(readFile(file) == before + after);
        QVERIFY2(run.errorText().contains(QStringLiteral("with 1 gap of ")),
                 qPrintable(run.errorText()));
    }

    void sendReadsStandardInputToItsEnd()
    {
        PtyPair device;
        QVERIFY(device.isValid());
        const QString fifo = path(QStringLiteral("in.fifo"));
        const int writer = openFifo(fifo, true);
        QVERIFY(writer >= 0);
        const QByteArray data = randomBytes(2 * 1024 * 1024 + 99, 29);
        const qsizetype firstPart = 100 * 1024;
        MarluneRun run({QStringLiteral("send"), QStringLiteral("-"), QStringLiteral("--com1"),
                        device.devicePath()},
                       fifo);
        std::thread feeding = writeAll(writer, data.left(firstPart));
        QByteArray arrived = device.readExactly(firstPart);
        feeding.join();
        // A pause in the input is no end.
        QVERIFY2(!run.waitForExit(500), qPrintable(run.describeEnd() + run.errorText()));
        feeding = writeAll(writer, data.mid(firstPart));
        arrived += device.readExactly(data.size() - firstPart, 60000);
        feeding.join();
        ::close(writer);
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(0), qPrintable(run.describeEnd() + run.errorText()));
        QVERIFY(arrived == data);
        const QString summary = run.errorText().trimmed().split(QLatin1Char('\n')).last();
        QVERIFY2(
            summary.startsWith(
                QStringLiteral("Sent %1 bytes from standard input to COM1").arg(data.size())) &&
                summary.endsWith(sha256Hex(data)),
            qPrintable(summary));
    }

    void receiveToStandardOutput_data()
    {
        QTest::addColumn<QString>("reader"); // takes all, gone, or stalled (never reads)
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("stopSignal"); // 0: the options end it
        QTest::addColumn<QString>("says");
        QTest::newRow("reader takes all")
            << "takes all" << QStringList{QStringLiteral("--idle"), QStringLiteral("0.3")}
            << 3 * 1024 * 1024 << 0 << "into standard output";
        // Little enough to fit into the pty at once: the program ends before it takes all.
        QTest::newRow("reader gone") << "gone" << QStringList() << 10000 << 0
                                     << "Writing to standard output failed: its reader went away";
        QTest::newRow("stalled reader, stop signal")
            << "stalled" << QStringList() << 2 * 1024 * 1024 << int(SIGTERM)
            << "could not be passed on to standard output";
        QTest::newRow("stalled reader, --max-bytes")
            << "stalled"
            << QStringList{QStringLiteral("--max-bytes"), QStringLiteral("1500000")}
            // Past the limit by less than a pty holds, so the device's write ends although the
            // program lets go of the line at the limit.
            << 1'510'000 << 0 << "could not be passed on to standard output";
    }
    void receiveToStandardOutput()
    {
        QFETCH(QString, reader);
        QFETCH(QStringList, options);
        QFETCH(int, size);
        QFETCH(int, stopSignal);
        QFETCH(QString, says);
        PtyPair device;
        QVERIFY(device.isValid());
        const QString fifo = path(QStringLiteral("out.fifo"));
        int readEnd = openFifo(fifo, false);
        QVERIFY(readEnd >= 0);
        MarluneRun run(QStringList{QStringLiteral("receive"), QStringLiteral("-")} + options +
                           onPort(device),
                       QString(), fifo);
        QVERIFY(run.waitUntilHandlingStopSignals());
        if (reader == QLatin1String("gone")) {
            ::close(readEnd);
            readEnd = -1;
        }
        const QByteArray data = randomBytes(size, 31);
        QVERIFY(device.write(data, 60000));
        QByteArray arrived;
        if (reader == QLatin1String("takes all"))
            QTRY_VERIFY_WITH_TIMEOUT((arrived += readWaiting(readEnd)).size() == size, 60000);
        if (stopSignal != 0)
            run.sendSignal(stopSignal);
        // Neither a stalled reader nor a gone one holds the program up.
        QVERIFY(run.waitForExit(10000));
        const bool allTaken = reader == QLatin1String("takes all");
        QVERIFY2(run.exitedWith(allTaken ? 0 : 1), qPrintable(run.describeEnd() + run.errorText()));
        const QString text = run.errorText();
        QVERIFY2(text.contains(says), qPrintable(text));
        if (readEnd < 0)
            return;
        arrived += readWaiting(readEnd);
        ::close(readEnd);
        QVERIFY(arrived == data.left(arrived.size()));
        // What the reader did not take is counted, and with it, all that was received.
        const qint64 received = firstNumberAfter(text, QStringLiteral("Received "));
        const qint64 lost = allTaken ? 0 : firstNumberAfter(text, QStringLiteral("The last "));
        QVERIFY2(received > 0 && arrived.size() + lost == received, qPrintable(text));
        QVERIFY2(!allTaken || text.endsWith(sha256Hex(data) + QLatin1Char('\n')), qPrintable(text));
    }

    void lostDeviceStillPassesOnWhatArrived()
    {
        // More than a pipe holds, so some waits in the program for its reader when the device
        // goes away; the reader then takes it all.
        PtyPair device;
        QVERIFY(device.isValid());
        const QString fifo = path(QStringLiteral("out.fifo"));
        const int readEnd = openFifo(fifo, false);
        QVERIFY(readEnd >= 0);
        MarluneRun run(QStringList{QStringLiteral("receive"), QStringLiteral("-")} + onPort(device),
                       QString(), fifo);
        QVERIFY(run.waitUntilHandlingStopSignals());
        const QByteArray data = randomBytes(300 * 1024, 37);
        QVERIFY(device.write(data));
        device.closeMaster();
        QByteArray arrived;
        for (QDeadlineTimer deadline(20000); run.isRunning() && !deadline.hasExpired();) {
            arrived += readWaiting(readEnd);
            run.waitForExit(10);
        }
        arrived += readWaiting(readEnd);
        ::close(readEnd);
        QVERIFY2(run.exitedWith(1), qPrintable(run.describeEnd() + run.errorText()));
        const QString text = run.errorText();
        QVERIFY2(arrived.size() == firstNumberAfter(text, QStringLiteral("Received ")),
                 qPrintable(text));
        QVERIFY(arrived == data.left(arrived.size()));
    }

    void timeoutGivesUpLeavingTheFileAsFound_data()
    {
        QTest::addColumn<QByteArray>("before"); // "-": no file
        QTest::addColumn<QByteArray>("sent");   // empty: the line stays silent
        QTest::newRow("silent, file with data") << QByteArray("precious data") << QByteArray();
        QTest::newRow("silent, no file") << QByteArray("-") << QByteArray();
        QTest::newRow("data in time") << QByteArray("precious data") << QByteArray("new");
    }
    void timeoutGivesUpLeavingTheFileAsFound()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, sent);
        PtyPair device;
        QVERIFY(device.isValid());
        const QString file = path(QStringLiteral("out.bin"));
        if (before != "-")
            QVERIFY(writeFile(file, before));
        MarluneRun run(QStringList{QStringLiteral("receive"), file, QStringLiteral("--force"),
                                   QStringLiteral("--timeout"),
                                   sent.isEmpty() ? QStringLiteral("0.3") : QStringLiteral("30"),
                                   QStringLiteral("--idle"), QStringLiteral("0.2")} +
                       onPort(device));
        QVERIFY(run.waitUntilHandlingStopSignals());
        QVERIFY(device.write(sent));
        QVERIFY(run.waitForExit());
        QVERIFY2(run.exitedWith(sent.isEmpty() ? 1 : 0),
                 qPrintable(run.describeEnd() + run.errorText()));
        if (!sent.isEmpty()) {
            QCOMPARE(readFile(file), sent);
            return;
        }
        QVERIFY2(
            run.errorText().contains(QStringLiteral("No data arrived on COM1 (%1) within 0.3 s")
                                         .arg(device.devicePath())),
            qPrintable(run.errorText()));
        QCOMPARE(QFileInfo::exists(file), before != "-");
        if (before != "-")
            QCOMPARE(readFile(file), before);
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
