#include "farprogram.h"
#include "platform/serialport.h"
#include "ptypair.h"
#include "testfiles.h"
#include "transfer/crc16.h"
#include "transfer/modemblock.h"
#include "transfer/modemreceiver.h"
#include "transfer/modemsender.h"
#include "transfer/ymodemheader.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace ModemBlock;

namespace {

QByteArray padded(const QByteArray& data, int block)
{
    QByteArray result = data;
    // lrzsz's rx keeps XMODEM's padding; a 1K sender's last block is a 128-byte one where it
    // fits.
    const qsizetype last = data.size() % block;
    const qsizetype lastBlock = (last > 0 && last <= 128) ? 128 : block;
    if (last > 0)
        result.append(lastBlock - last, SUB);
    return result;
}

ModemOptions quick(TransferProtocol protocol)
{
    ModemOptions options;
    options.protocol = protocol;
    options.startTimeoutMs = 5000;
    options.blockTimeoutMs = 300;
    options.retries = 3;
    return options;
}

} // namespace

// XMODEM and YMODEM against lrzsz, an implementation of its own, both ways; and against a far
// end in the test that misbehaves as real devices and lines do.
class ModemTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void sendsToLrzsz_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("expected");
        const auto xmodem = int(TransferProtocol::Xmodem);
        const auto xmodem1k = int(TransferProtocol::Xmodem1k);
        const auto ymodem = int(TransferProtocol::Ymodem);
        for (const int size : {0, 1, 127, 128, 129, 1023, 1024, 1025}) {
            const QByteArray data = randomBytes(size, quint32(size));
            QTest::addRow("xmodem crc %d", size)
                << xmodem << QStringLiteral("rx -c f.bin") << data << padded(data, 128);
            QTest::addRow("ymodem %d", size) << ymodem << QStringLiteral("rb") << data << data;
        }
        const QByteArray values = everyByteValue(5);
        QTest::addRow("xmodem checksum, every byte value")
            << xmodem << QStringLiteral("rx f.bin") << values << padded(values, 128);
        QTest::addRow("xmodem-1k 1025")
            << xmodem1k << QStringLiteral("rx -c f.bin") << values << padded(values, 1024);
        const QByteArray big = randomBytes(3 << 20, 7);
        QTest::addRow("xmodem-1k 3 MiB")
            << xmodem1k << QStringLiteral("rx -c f.bin") << big << padded(big, 1024);
        QTest::addRow("ymodem 3 MiB") << ymodem << QStringLiteral("rb") << big << big;
        const QByteArray subs = QByteArray("ends in padding bytes") + QByteArray(3, SUB);
        QTest::addRow("ymodem keeps a last 0x1A") << ymodem << QStringLiteral("rb") << subs << subs;
    }
    void sendsToLrzsz()
    {
        QFETCH(int, protocol);
        QFETCH(QString, command);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        const QString folder = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/in")));
        const QString path = writeTestFile(m_dir, QStringLiteral("f.bin"), data);
        FarProgram far;
        QVERIFY(far.isValid());
        SerialPort port;
        port.ports().mapForRun({{1, far.devicePath()}});
        QVERIFY(port.setCommPort(1));
        ModemSender sender(port);
        QSignalSpy ended(&sender, &ModemSender::ended);
        QString error;
        ModemOptions options;
        options.protocol = TransferProtocol(protocol);
        options.blockTimeoutMs = 2000;
        QCOMPARE(sender.start(path, options, &error), ModemSender::Start::Started);
        QVERIFY(far.start(command, folder + QStringLiteral("/in")));
        QVERIFY(ended.wait(60000));
        const auto outcome = ended.first().first().value<ModemSender::Outcome>();
        QVERIFY2(outcome.ending == ModemSender::Ending::Finished, qPrintable(outcome.message));
        int exitCode = -1;
        QVERIFY(far.waitForExit(10000, &exitCode));
        QCOMPARE(exitCode, 0);
        QCOMPARE(readFile(folder + QStringLiteral("/in/f.bin")), expected);
        QCOMPARE(sender.report().count(), data.size());
        QCOMPARE(QString::fromLatin1(sender.report().sha256Hex()), sha256Hex(data));
    }

    void receivesFromLrzsz_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("expected");
        const auto xmodem = int(TransferProtocol::Xmodem);
        const auto xmodem1k = int(TransferProtocol::Xmodem1k);
        const auto ymodem = int(TransferProtocol::Ymodem);
        for (const int size : {1, 127, 128, 129, 1023, 1024, 1025}) {
            const QByteArray data = randomBytes(size, quint32(size)).replace(SUB, 'x');
            QTest::addRow("sx %d", size) << xmodem << QStringLiteral("sx") << data << data;
            QTest::addRow("sb %d", size) << ymodem << QStringLiteral("sb") << data << data;
        }
        QTest::addRow("sb 0") << ymodem << QStringLiteral("sb") << QByteArray() << QByteArray();
        const QByteArray values = everyByteValue(5);
        QTest::addRow("sx -k, every byte value")
            << xmodem1k << QStringLiteral("sx -k") << values << values;
        QTest::addRow("sb, every byte value") << ymodem << QStringLiteral("sb") << values << values;
        const QByteArray big = randomBytes(3 << 20, 9);
        QTest::addRow("sx -k 3 MiB") << xmodem1k << QStringLiteral("sx -k") << big << big;
        QTest::addRow("sb 3 MiB") << ymodem << QStringLiteral("sb") << big << big;
        // XMODEM cannot tell a file's own last 0x1A bytes from its padding; YMODEM's size can.
        const QByteArray subs = QByteArray("ends in padding bytes") + QByteArray(3, SUB);
        QTest::addRow("sx loses a last 0x1A")
            << xmodem << QStringLiteral("sx") << subs << subs.chopped(3);
        QTest::addRow("sb keeps a last 0x1A") << ymodem << QStringLiteral("sb") << subs << subs;
    }
    void receivesFromLrzsz()
    {
        QFETCH(int, protocol);
        QFETCH(QString, command);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        const QString folder = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/in")));
        QFile source(folder + QStringLiteral("/f.bin"));
        QVERIFY(source.open(QIODevice::WriteOnly));
        source.write(data);
        source.close();
        FarProgram far;
        QVERIFY(far.start(command + QStringLiteral(" f.bin"), folder));
        SerialPort port;
        port.ports().mapForRun({{1, far.devicePath()}});
        QVERIFY(port.setCommPort(1));
        ModemReceiver receiver(port);
        QSignalSpy ended(&receiver, &ModemReceiver::ended);
        const bool ymodem = TransferProtocol(protocol) == TransferProtocol::Ymodem;
        // YMODEM into the folder, under the sender's name; XMODEM into a file of ours.
        const QString target =
            folder + (ymodem ? QStringLiteral("/in") : QStringLiteral("/in/f.bin"));
        ModemOptions options;
        options.protocol = TransferProtocol(protocol);
        options.blockTimeoutMs = 2000;
        QString error;
        QVERIFY2(receiver.start(target, options, false, &error), qPrintable(error));
        QVERIFY(ended.wait(60000));
        const auto outcome = ended.first().first().value<ModemReceiver::Outcome>();
        QVERIFY2(outcome.ok(), qPrintable(outcome.message));
        QCOMPARE(outcome.files, QStringList{folder + QStringLiteral("/in/f.bin")});
        QCOMPARE(readFile(folder + QStringLiteral("/in/f.bin")), expected);
        QCOMPARE(QString::fromLatin1(receiver.report().sha256Hex()), sha256Hex(expected));
    }

    void senderWaitsThroughACallRunAndRecoversLostAndRefusedBlocks()
    {
        PtyPair pty;
        SerialPort port;
        port.ports().mapForRun({{1, pty.devicePath()}});
        QVERIFY(port.setCommPort(1));
        ModemSender sender(port);
        QSignalSpy ended(&sender, &ModemSender::ended);
        const QByteArray data = randomBytes(300, 3);
        QString error;
        const QString path = writeTestFile(m_dir, QStringLiteral("run.bin"), data);
        QCOMPARE(sender.start(path, quick(TransferProtocol::Xmodem), &error),
                 ModemSender::Start::Started);
        // A boot ROM that called long before the send began: far more than the retry limit.
        QVERIFY(pty.write(QByteArray(40, NAK)));
        const QByteArray first = pty.readExactly(132, 5000);
        QCOMPARE(first, frame(1, data.first(128), 128, false, SUB));
        // Nothing more for that run of calls: it was one call.
        QCOMPARE(pty.collectFor(100), QByteArray());
        // Still starting, the ROM calls again: the block again, with no try counted.
        for (int i = 0; i < 6; ++i) {
            QVERIFY(pty.write(QByteArray(1, NAK)));
            QCOMPARE(pty.readExactly(132, 5000), first);
        }
        QVERIFY(pty.write(QByteArray(1, ACK)));
        const QByteArray second = frame(2, data.sliced(128, 128), 128, false, SUB);
        QCOMPARE(pty.readExactly(132, 5000), second);
        // The ACK is lost: the block comes again after the block timeout.
        QCOMPARE(pty.readExactly(132, 5000), second);
        QCOMPARE(sender.report().count(), 128);
        // Refused as corrupt: it comes again.
        QVERIFY(pty.write(QByteArray(1, NAK)));
        QCOMPARE(pty.readExactly(132, 5000), second);
        QVERIFY(pty.write(QByteArray(1, ACK)));
        QCOMPARE(pty.readExactly(132, 5000), frame(3, data.sliced(256), 128, false, SUB));
        QVERIFY(pty.write(QByteArray(1, ACK)));
        QCOMPARE(pty.readExactly(1, 5000), QByteArray(1, EOT));
        // Not finished before the EOT is acknowledged.
        QVERIFY(!ended.wait(100));
        QVERIFY(pty.write(QByteArray(1, ACK)));
        QVERIFY(ended.wait(5000));
        QCOMPARE(ended.first().first().value<ModemSender::Outcome>().ending,
                 ModemSender::Ending::Finished);
        QCOMPARE(sender.report().count(), data.size());
    }

    void ymodemSenderTakesTheCallThatComesWithTheHeadersAck()
    {
        PtyPair pty;
        SerialPort port;
        port.ports().mapForRun({{1, pty.devicePath()}});
        QVERIFY(port.setCommPort(1));
        ModemSender sender(port);
        QSignalSpy ended(&sender, &ModemSender::ended);
        const QByteArray data = randomBytes(100, 5);
        QString error;
        const QString path = writeTestFile(m_dir, QStringLiteral("header.bin"), data);
        QCOMPARE(sender.start(path, quick(TransferProtocol::Ymodem), &error),
                 ModemSender::Start::Started);
        QVERIFY(pty.write(QByteArray(1, CRC)));
        QCOMPARE(pty.readExactly(133, 5000).size(), 133);
        // A receiver answers the header and calls for the data in one write, as a paced line
        // brings them together.
        QVERIFY(pty.write(QByteArray("\x06"
                                     "C",
                                     2)));
        QCOMPARE(pty.readExactly(133, 5000), frame(1, data, 128, true, SUB));
        QVERIFY(pty.write(QByteArray(1, ACK)));
        QCOMPARE(pty.readExactly(1, 5000), QByteArray(1, EOT));
        QVERIFY(pty.write(QByteArray("\x06"
                                     "C",
                                     2)));
        QCOMPARE(pty.readExactly(133, 5000), frame(0, {}, 128, true, '\0'));
        QVERIFY(pty.write(QByteArray(1, ACK)));
        QVERIFY(ended.wait(5000));
        QCOMPARE(ended.first().first().value<ModemSender::Outcome>().ending,
                 ModemSender::Ending::Finished);
    }

    void senderEndsWithAMessageAndCancels_data()
    {
        QTest::addColumn<QByteArray>("answers"); // after the first block
        QTest::addColumn<int>("ending");
        QTest::addColumn<QString>("said");
        QTest::newRow("receiver cancels")
            << QByteArray("\x06\x18\x18", 3) << int(ModemSender::Ending::Refused)
            << QStringLiteral("The receiver cancelled the send of \"%1\" at block 2 (bytes 128 "
                              "to 255); it acknowledged 128 of 300 bytes.");
        QTest::newRow("silence")
            << QByteArray("\x06", 1) << int(ModemSender::Ending::Failed)
            << QStringLiteral("The send of \"%1\" failed at block 2 (bytes 128 to 255): no answer "
                              "within 0.3 s, 4 times; the send was given up. The receiver "
                              "acknowledged 128 of 300 bytes.");
        QTest::newRow("refused each time")
            << QByteArray("\x06\x15\x15\x15\x15", 5) << int(ModemSender::Ending::Failed)
            << QStringLiteral("The send of \"%1\" failed at block 2 (bytes 128 to 255): the "
                              "receiver refused it, 4 times; the send was given up. The receiver "
                              "acknowledged 128 of 300 bytes.");
    }
    void senderEndsWithAMessageAndCancels()
    {
        QFETCH(QByteArray, answers);
        QFETCH(int, ending);
        QFETCH(QString, said);
        PtyPair pty;
        SerialPort port;
        port.ports().mapForRun({{1, pty.devicePath()}});
        QVERIFY(port.setCommPort(1));
        ModemSender sender(port);
        QSignalSpy ended(&sender, &ModemSender::ended);
        const QString path = writeTestFile(m_dir, QStringLiteral("fail.bin"), randomBytes(300, 4));
        QString error;
        QCOMPARE(sender.start(path, quick(TransferProtocol::Xmodem), &error),
                 ModemSender::Start::Started);
        QVERIFY(pty.write(QByteArray(1, CRC)));
        QCOMPARE(pty.readExactly(133, 5000).size(), 133);
        // Each answer one at a time, once the sender acted on the one before.
        QByteArray seen;
        for (const char answer : answers) {
            QVERIFY(pty.write(QByteArray(1, answer)));
            QByteArray got;
            QElapsedTimer clock;
            clock.start();
            while (answer != CAN && ended.isEmpty() && got.size() < 133 && clock.elapsed() < 5000)
                got += pty.collectFor(10);
            seen += got;
        }
        QVERIFY(!ended.isEmpty() || ended.wait(5000));
        const auto outcome = ended.first().first().value<ModemSender::Outcome>();
        QCOMPARE(int(outcome.ending), ending);
        QCOMPARE(outcome.message, said.arg(path));
        if (outcome.ending == ModemSender::Ending::Failed)
            QVERIFY((seen + pty.collectFor(300)).endsWith(cancelSequence()));
        QVERIFY(!pty.isHeld());
    }

    void receiverAnswersAsTheProtocolSays()
    {
        // Block 1, block 1 again (its ACK lost), block 2 with a bad CRC, block 3 where 2 is due,
        // noise, block 2, EOT, EOT again.
        PtyPair pty;
        SerialPort port;
        port.ports().mapForRun({{1, pty.devicePath()}});
        QVERIFY(port.setCommPort(1));
        ModemReceiver receiver(port);
        QSignalSpy ended(&receiver, &ModemReceiver::ended);
        const QString path = m_dir.filePath(QStringLiteral("answers.bin"));
        QString error;
        QVERIFY(receiver.start(path, quick(TransferProtocol::Xmodem), false, &error));
        QCOMPARE(pty.readExactly(1, 5000), QByteArray(1, CRC));
        const QByteArray one = randomBytes(128, 5);
        const QByteArray two = QByteArray("the end") + QByteArray(121, SUB);
        QByteArray bad = frame(2, two, 128, true, SUB);
        bad[50] = char(bad[50] ^ 1);
        const QList<std::pair<QByteArray, char>> script{
            {frame(1, one, 128, true, SUB), ACK},
            {frame(1, one, 128, true, SUB), ACK},
            {bad, NAK},
            {frame(3, two, 128, true, SUB), NAK},
            {QByteArray("\xff\x00", 2) + frame(2, two, 128, true, SUB), ACK},
            {QByteArray(1, EOT), ACK},
            {QByteArray(1, EOT), ACK},
        };
        for (const auto& [bytes, answer] : script) {
            QVERIFY(pty.write(bytes));
            QCOMPARE(pty.readExactly(1, 5000), QByteArray(1, answer));
        }
        QVERIFY(ended.wait(5000));
        QVERIFY(ended.first().first().value<ModemReceiver::Outcome>().ok());
        QCOMPARE(readFile(path), one + QByteArray("the end"));
    }

    void receiverEndsWithAMessageAndKeepsWhatCame_data()
    {
        QTest::addColumn<QByteArray>("after"); // what follows block 1
        QTest::addColumn<int>("ending");
        QTest::addColumn<QString>("said");
        QTest::newRow("sender cancels")
            << QByteArray("\x18\x18", 2) << int(ModemReceiver::Ending::Refused)
            << QStringLiteral("The reception failed at block 2: the sender cancelled the "
                              "transfer. The 128 bytes received of \"%1\" were kept; the file is "
                              "incomplete.");
        QTest::newRow("silence")
            << QByteArray() << int(ModemReceiver::Ending::Failed)
            << QStringLiteral("The reception failed at block 2: nothing came within 0.3 s, and 4 "
                              "tries failed; the reception was given up. The 128 bytes received "
                              "of \"%1\" were kept; the file is incomplete.");
        QTest::newRow("block cut short")
            << frame(2, QByteArray(128, 'x'), 128, true, SUB).first(60)
            << int(ModemReceiver::Ending::Failed)
            << QStringLiteral("The reception failed at block 2: nothing came within 0.3 s, and 4 "
                              "tries failed; the reception was given up. The 128 bytes received "
                              "of \"%1\" were kept; the file is incomplete.");
    }
    void receiverEndsWithAMessageAndKeepsWhatCame()
    {
        QFETCH(QByteArray, after);
        QFETCH(int, ending);
        QFETCH(QString, said);
        PtyPair pty;
        SerialPort port;
        port.ports().mapForRun({{1, pty.devicePath()}});
        QVERIFY(port.setCommPort(1));
        ModemReceiver receiver(port);
        QSignalSpy ended(&receiver, &ModemReceiver::ended);
        const QString path = m_dir.filePath(QStringLiteral("kept.bin"));
        QFile::remove(path);
        QString error;
        QVERIFY(receiver.start(path, quick(TransferProtocol::Xmodem), false, &error));
        QCOMPARE(pty.readExactly(1, 5000), QByteArray(1, CRC));
        const QByteArray one = randomBytes(128, 6).replace(SUB, 'y');
        QVERIFY(pty.write(frame(1, one, 128, true, SUB)));
        QCOMPARE(pty.readExactly(1, 5000), QByteArray(1, ACK));
        QVERIFY(pty.write(after));
        QVERIFY(ended.wait(5000));
        const auto outcome = ended.first().first().value<ModemReceiver::Outcome>();
        QCOMPARE(int(outcome.ending), ending);
        QCOMPARE(outcome.message, said.arg(path));
        QCOMPARE(readFile(path), one);
        if (outcome.ending == ModemReceiver::Ending::Failed)
            QVERIFY(pty.collectFor(300).endsWith(cancelSequence()));
    }

    void ymodemKeepsTheSendersNameInsideTheFolder_data()
    {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("stored"); // empty: refused
        QTest::newRow("plain") << QStringLiteral("fw.bin") << QStringLiteral("fw.bin");
        QTest::newRow("parent") << QStringLiteral("../../evil.bin") << QStringLiteral("evil.bin");
        QTest::newRow("absolute") << QStringLiteral("/etc/passwd") << QStringLiteral("passwd");
        QTest::newRow("dos path") << QStringLiteral("C:\\boot\\x.img") << QStringLiteral("x.img");
        QTest::newRow("dot dot") << QStringLiteral("..") << QString();
        QTest::newRow("folder") << QStringLiteral("dir/") << QString();
    }
    void ymodemKeepsTheSendersNameInsideTheFolder()
    {
        QFETCH(QString, sent);
        QFETCH(QString, stored);
        const QString folder = m_dir.filePath(QStringLiteral("names/") + QTest::currentDataTag());
        QVERIFY(QDir().mkpath(folder));
        PtyPair pty;
        SerialPort port;
        port.ports().mapForRun({{1, pty.devicePath()}});
        QVERIFY(port.setCommPort(1));
        ModemReceiver receiver(port);
        QSignalSpy ended(&receiver, &ModemReceiver::ended);
        QString error;
        QVERIFY(receiver.start(folder, quick(TransferProtocol::Ymodem), false, &error));
        QCOMPARE(pty.readExactly(1, 5000), QByteArray(1, CRC));
        QByteArray header = sent.toUtf8() + QByteArray("\0"
                                                       "5\0",
                                                       3);
        QVERIFY(pty.write(frame(0, header, 128, true, '\0')));
        if (stored.isEmpty()) {
            QVERIFY(ended.wait(5000));
            const auto outcome = ended.first().first().value<ModemReceiver::Outcome>();
            QCOMPARE(outcome.ending, ModemReceiver::Ending::Failed);
            QVERIFY2(outcome.message.contains(QStringLiteral("leaves no file name")),
                     qPrintable(outcome.message));
            QCOMPARE(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList());
            return;
        }
        QCOMPARE(pty.readExactly(2, 5000), QByteArray("\x06"
                                                      "C"));
        const QByteArray data = QByteArray("hello") + QByteArray(123, SUB);
        for (const auto& [bytes, answer] :
             QList<std::pair<QByteArray, QByteArray>>{{frame(1, data, 128, true, SUB), "\x06"},
                                                      {QByteArray(1, EOT), "\x06"
                                                                           "C"},
                                                      {frame(0, {}, 128, true, '\0'), "\x06"}}) {
            QVERIFY(pty.write(bytes));
            QCOMPARE(pty.readExactly(answer.size(), 5000), answer);
        }
        QVERIFY(ended.wait(5000));
        QVERIFY(ended.first().first().value<ModemReceiver::Outcome>().ok());
        QCOMPARE(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{stored});
        QCOMPARE(readFile(QDir(folder).filePath(stored)), QByteArray("hello"));
    }
};

QTEST_GUILESS_MAIN(ModemTest)
#include "tst_modem.moc"
