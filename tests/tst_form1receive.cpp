#include "farprogram.h"
#include "form1rig.h"
#include "ptypair.h"
#include "testfiles.h"
#include "transfer/modemblock.h"
#include "transfer/textpreview.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

// The pty comes first, so that the window can be given its device.
struct FarEnd
{
    PtyPair pty;
};

// The window with a pty as COM2.
struct Rig : FarEnd, Form1Rig
{
    Rig() : Form1Rig({{2, pty.devicePath()}}) {}

    QString view() const { return control<QPlainTextEdit>("text1")->toPlainText(); }
    void start(const QString& path)
    {
        dialog.answers.push_back(path);
        form->Command3_Click();
    }
    // Starts sending a file holding `data`.
    void startSend(const QString& path, const QByteArray& data)
    {
        QVERIFY(writeFile(path, data));
        dialog.answers.push_back(path);
        form->Command1_Click();
    }

    bool idle() const
    {
        return control("Command3")->isEnabled() && control("Command1")->isEnabled() &&
               !receiving() && !pty.isHeld();
    }
    bool receivingArrangement() const
    {
        return !control("Command3")->isEnabled() && !control("Command1")->isEnabled() &&
               receiving() && !control("Frame1")->isEnabled() && !control("Frame2")->isEnabled() &&
               !control("text1")->isHidden() && !control("Label7")->isHidden() &&
               control("ProgressBar")->isHidden() && pty.isHeld();
    }
};

} // namespace

class ReceivingTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("received-%1.bin").arg(++m_counter));
    }

    void receivesEveryByte_data();
    void receivesEveryByte();
    void burstIsReadWithoutStop();
    void blocksReachDiskBeforeStop();
    void overwriteQuestion_data();
    void overwriteQuestion();
    void cancelledDialogChangesNothing();
    void portHeldElsewhereKeepsFileAndIdle_data();
    void portHeldElsewhereKeepsFileAndIdle();
    void writeFailureEndsReception_data();
    void writeFailureEndsReception();
    void deviceLossSavesWhatArrived();
    void reconnectKeepsTheReceptionThroughALoss();
    void bytesOutsideReceptionAreDiscarded();
    void secondStartHandsOver();
    void secondStartCancelledLeavesReceptionAlone();
    void stopShowsReceivedFileNotDialogName();
    void receivingDuringSendIsRefused();
    void viewShowsTextOrDump();
    void stopWhileIdleOnlyClearsWaitingText();
    void protocolReceiveFromLrzsz();
    void protocolStopCancelsAndKeepsBlocks();

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_counter = 0;
};

void ReceivingTest::receivesEveryByte_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("under a block") << randomBytes(100, 1);
    QTest::newRow("one block") << randomBytes(512, 2);
    QTest::newRow("blocks and a tail") << randomBytes(10 * 512 + 37, 3);
    QTest::newRow("every byte value") << everyByteValue(3);
    QTest::newRow("1 MiB") << randomBytes(1 << 20, 4);
}

void ReceivingTest::receivesEveryByte()
{
    QFETCH(QByteArray, data);
    Rig rig;
    rig.start(m_path);
    QVERIFY(rig.receivingArrangement());
    QCOMPARE(rig.label("Label6"), QStringLiteral(" Save File:"));
    QCOMPARE(rig.label("Label3"), m_path);
    QCOMPARE(rig.label("Label7"), QStringLiteral("0"));
    QCOMPARE(rig.view(), QStringLiteral("Waitting Receive..."));

    QVERIFY(rig.pty.write(data));
    // Whole blocks are taken as they come; only a tail shorter than a block may still wait.
    QTRY_VERIFY_WITH_TIMEOUT(data.size() - rig.count() < 512, 20000);

    rig.control<QPushButton>("Command4")->click();
    QVERIFY(rig.idle());
    QCOMPARE(readFile(m_path), data);
    QCOMPARE(rig.count(), data.size());
    QCOMPARE(rig.label("Label7"), QString::number(data.size()));
    TextPreview::Preview preview;
    QVERIFY(TextPreview::fromFile(m_path, &preview, nullptr));
    QPlainTextEdit expected; // the view normalises a few characters (no-break spaces) itself
    expected.setPlainText(preview.text);
    QCOMPARE(rig.view(), expected.toPlainText());
    QVERIFY(rig.messages.errors.empty());
}

void ReceivingTest::burstIsReadWithoutStop()
{
    Rig rig;
    rig.start(m_path);
    int viewUpdates = 0;
    connect(rig.control<QPlainTextEdit>("text1"), &QPlainTextEdit::textChanged, this,
            [&] { ++viewUpdates; });
    const QByteArray data = randomBytes(2048 * 512, 5);
    QVERIFY(rig.pty.write(data));
    // No more data arrives after the burst; every whole block must still be taken.
    QTRY_COMPARE_WITH_TIMEOUT(rig.count(), data.size(), 20000);
    // The view follows at a bounded rate, not once per block.
    QVERIFY2(viewUpdates < 2048 / 8, qPrintable(QString::number(viewUpdates)));
    QTRY_COMPARE(rig.label("Label7"), QString::number(data.size()));
    // The view ends on the latest block, dumped from its place in the file.
    QPlainTextEdit expected;
    expected.setPlainText(TextPreview::hexDump(data.right(512), data.size() - 512));
    QTRY_COMPARE(rig.view(), expected.toPlainText());
}

void ReceivingTest::blocksReachDiskBeforeStop()
{
    Rig rig;
    rig.start(m_path);
    const QByteArray data = randomBytes(3 * 512, 6);
    QVERIFY(rig.pty.write(data));
    QTRY_COMPARE(rig.count(), data.size());
    // Read through another handle while the reception still runs.
    QCOMPARE(readFile(m_path), data);
}

void ReceivingTest::overwriteQuestion_data()
{
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<bool>("confirm");
    QTest::newRow("confirmed") << randomBytes(5000, 7) << true;
    QTest::newRow("refused") << randomBytes(5000, 8) << false;
    QTest::newRow("empty file, no question") << QByteArray() << true;
}

void ReceivingTest::overwriteQuestion()
{
    QFETCH(QByteArray, old);
    QFETCH(bool, confirm);
    QVERIFY(writeFile(m_path, old));
    Rig rig;
    rig.messages.okAnswers.push_back(confirm);
    rig.start(m_path);

    if (old.isEmpty()) {
        QVERIFY(rig.messages.questions.empty());
    } else {
        QCOMPARE(rig.messages.questions.size(), std::size_t(1));
        QCOMPARE(rig.messages.questions[0].title, QStringLiteral("OverFile"));
        QCOMPARE(rig.messages.questions[0].text, QStringLiteral("OverFile:") + m_path + '?');
    }
    if (!confirm) {
        QVERIFY(rig.idle());
        QCOMPARE(readFile(m_path), old);
        QCOMPARE(rig.label("Label3"), QString());
        // Not held open: a reception can start on it at once.
        rig.messages.okAnswers.push_back(true);
        rig.start(m_path);
        QVERIFY(rig.receivingArrangement());
        return;
    }
    QVERIFY(rig.receivingArrangement());
    const QByteArray data = randomBytes(700, 9);
    QVERIFY(rig.pty.write(data));
    QTRY_VERIFY(rig.count() >= 512);
    rig.form->Command4_Click();
    QCOMPARE(readFile(m_path), data); // nothing of the old content remains
}

void ReceivingTest::cancelledDialogChangesNothing()
{
    Rig rig;
    rig.form->Command3_Click(); // no answer scripted: the dialog is dismissed
    QCOMPARE(rig.dialog.saves, 1);
    QVERIFY(rig.idle());
    QCOMPARE(rig.label("Label6"), QString());
    QVERIFY(rig.control("text1")->isHidden());
    QVERIFY(rig.messages.errors.empty());
}

void ReceivingTest::portHeldElsewhereKeepsFileAndIdle_data()
{
    QTest::addColumn<bool>("existing");
    QTest::newRow("existing file") << true;
    QTest::newRow("new file") << false;
}

void ReceivingTest::portHeldElsewhereKeepsFileAndIdle()
{
    QFETCH(bool, existing);
    const QByteArray old = randomBytes(2000, 10);
    if (existing)
        QVERIFY(writeFile(m_path, old));
    Rig rig;
    QSerialPort other;
    other.setPortName(rig.pty.devicePath());
    QVERIFY(other.open(QIODevice::ReadWrite));

    rig.start(m_path);
    QVERIFY(rig.idle());
    QCOMPARE(rig.messages.errors.size(), std::size_t(1));
    const QString message = rig.messages.errors[0].text;
    QVERIFY2(message.contains(QLatin1String("COM2")), qPrintable(message));
    QVERIFY2(message.contains(rig.pty.devicePath()), qPrintable(message));
    if (existing)
        QCOMPARE(readFile(m_path), old);
    else
        QVERIFY(!QFile::exists(m_path));
    QVERIFY(rig.control("text1")->isHidden());
}

void ReceivingTest::writeFailureEndsReception_data()
{
    // The size the disk lets the file reach: nothing at all, or part of one batch of blocks.
    QTest::addColumn<int>("limit");
    QTest::newRow("first write fails") << 0;
    QTest::newRow("a batch fails part way") << 1000;
}

void ReceivingTest::writeFailureEndsReception()
{
    // Many blocks go to the file in one write; when the disk takes only part of it, the count
    // and the message say exactly what reached the file.
    QFETCH(int, limit);
    rlimit before{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = rlim_t(limit);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
    const auto restore = qScopeGuard([&] {
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, oldHandler);
    });

    Rig rig;
    rig.start(m_path);
    QVERIFY(rig.receivingArrangement());
    const QByteArray data = randomBytes(8 * 512, 21);
    QVERIFY(rig.pty.write(data));
    QTRY_COMPARE(rig.messages.errors.size(), std::size_t(1));
    const QString message = rig.messages.errors[0].text;
    QVERIFY2(message.contains(QStringLiteral("%1 bytes were saved").arg(limit)),
             qPrintable(message));
    QVERIFY(rig.idle());
    QCOMPARE(rig.count(), qint64(limit));
    QCOMPARE(readFile(m_path), data.left(limit));
}

void ReceivingTest::deviceLossSavesWhatArrived()
{
    Rig rig;
    rig.start(m_path);
    const QByteArray data = randomBytes(1000, 12);
    QVERIFY(rig.pty.write(data));
    QTRY_VERIFY(rig.count() >= 512);
    rig.pty.closeMaster();
    QTRY_VERIFY(rig.idle());
    QTest::qWait(200); // a flood of errors would show up as more messages
    QCOMPARE(rig.messages.errors.size(), std::size_t(1));
    // The tail that waited below the block size is saved too.
    QCOMPARE(readFile(m_path), data);
    QCOMPARE(rig.count(), data.size());
    QCOMPARE(rig.label("Label7"), QString::number(data.size()));
    QVERIFY(rig.messages.errors[0].text.contains(QString::number(data.size())));
}

void ReceivingTest::reconnectKeepsTheReceptionThroughALoss()
{
    // COM2 is a stable name, a link; the device behind it goes away and comes back as another.
    auto first = std::make_unique<PtyPair>();
    const QString link = m_dir.filePath(QStringLiteral("board"));
    QVERIFY(QFile::link(first->devicePath(), link));
    Form1Rig rig({{2, link}});
    rig.menu(QStringLiteral("mnuReconnect"));
    rig.dialog.answers.push_back(m_path);
    rig.form->Command3_Click();
    QVERIFY(first->write("before"));
    QTRY_COMPARE(readFile(m_path), QByteArray("before"));
    first->closeMaster();
    QTRY_VERIFY(rig.label(QStringLiteral("transferDetail"))
                    .contains(QStringLiteral("waiting for the device to come back")));
    QVERIFY(rig.receiving());
    QVERIFY(rig.messages.errors.empty());

    QVERIFY(QFile::remove(link));
    PtyPair second;
    QVERIFY(QFile::link(second.devicePath(), link));
    QTRY_VERIFY(second.isHeld());
    QVERIFY(second.write("after"));
    QTRY_COMPARE(readFile(m_path), QByteArray("beforeafter"));
    rig.form->Command4_Click();
    QVERIFY(!rig.receiving());
    QVERIFY(rig.messages.errors.empty());
    QVERIFY2(rig.label(QStringLiteral("transferDetail")).contains(QStringLiteral("1 gap of")),
             qPrintable(rig.label(QStringLiteral("transferDetail"))));
}

void ReceivingTest::bytesOutsideReceptionAreDiscarded()
{
    const QByteArray sendData = randomBytes(64 * 1024, 13);
    Rig rig;
    rig.startSend(m_dir.filePath(QStringLiteral("to-send.bin")), sendData);
    QVERIFY(rig.sending());
    // The device echoes while the file goes out.
    QVERIFY(rig.pty.write(randomBytes(3000, 14)));
    QCOMPARE(rig.pty.readExactly(sendData.size()), sendData);
    QTRY_VERIFY(!rig.sending());
    QVERIFY(rig.messages.errors.empty());

    rig.start(m_path);
    const QByteArray data = randomBytes(1024, 15);
    QVERIFY(rig.pty.write(data));
    QTRY_COMPARE(rig.count(), data.size());
    rig.form->Command4_Click();
    QCOMPARE(readFile(m_path), data);
}

void ReceivingTest::secondStartHandsOver()
{
    const QString second = m_dir.filePath(QStringLiteral("second.bin"));
    Rig rig;
    rig.start(m_path);
    const QByteArray first = randomBytes(1024, 16);
    QVERIFY(rig.pty.write(first));
    QTRY_COMPARE(rig.count(), first.size());

    rig.dialog.answers.push_back(second);
    rig.menu("mnuReceiveFile");
    QVERIFY(rig.receivingArrangement());
    QCOMPARE(rig.count(), 0);
    QCOMPARE(rig.label("Label3"), second);
    QCOMPARE(readFile(m_path), first);

    const QByteArray rest = randomBytes(600, 17);
    QVERIFY(rig.pty.write(rest));
    QTRY_VERIFY(rig.count() >= 512);
    rig.form->Command4_Click();
    QCOMPARE(readFile(m_path), first);
    QCOMPARE(readFile(second), rest);
    QCOMPARE(rig.label("Label7"), QString::number(rest.size()));
}

void ReceivingTest::secondStartCancelledLeavesReceptionAlone()
{
    Rig rig;
    rig.start(m_path);
    const QByteArray data = randomBytes(2048, 18);
    QVERIFY(rig.pty.write(data.left(1024)));
    QTRY_COMPARE(rig.count(), 1024);

    rig.menu("mnuReceiveFile"); // dismissed
    QVERIFY(rig.receivingArrangement());
    // Refused overwrite of another file: likewise untouched.
    const QString other = m_dir.filePath(QStringLiteral("other.bin"));
    QVERIFY(writeFile(other, "keep me"));
    rig.messages.okAnswers.push_back(false);
    rig.dialog.answers.push_back(other);
    rig.menu("mnuReceiveFile");
    QVERIFY(rig.receivingArrangement());
    QCOMPARE(readFile(other), QByteArray("keep me"));

    QVERIFY(rig.pty.write(data.mid(1024)));
    QTRY_COMPARE(rig.count(), data.size());
    rig.form->Command4_Click();
    QCOMPARE(readFile(m_path), data);
}

void ReceivingTest::stopShowsReceivedFileNotDialogName()
{
    const QString decoy = m_dir.filePath(QStringLiteral("decoy.txt"));
    QVERIFY(writeFile(decoy, "decoy content"));
    Rig rig;
    rig.start(m_path);
    QVERIFY(rig.pty.write("received text"));
    // A send chosen from the menu meanwhile moves the dialog's name, then finds the port busy.
    rig.dialog.answers.push_back(decoy);
    rig.menu("mnuSendFile");
    QCOMPARE(rig.messages.errors.size(), std::size_t(1));
    QVERIFY(rig.receivingArrangement());

    rig.form->Command4_Click();
    QCOMPARE(readFile(m_path), QByteArray("received text"));
    QCOMPARE(rig.view(), QStringLiteral("received text"));
}

void ReceivingTest::receivingDuringSendIsRefused()
{
    const QByteArray sendData = randomBytes(256 * 1024, 19);
    Rig rig;
    rig.startSend(m_dir.filePath(QStringLiteral("big.bin")), sendData);
    QVERIFY(rig.sending());
    const QByteArray head = rig.pty.readExactly(4096);
    QVERIFY(head.size() >= 4096);

    rig.dialog.answers.push_back(m_path);
    rig.menu("mnuReceiveFile");
    QCOMPARE(rig.messages.errors.size(), std::size_t(1));
    QVERIFY(!rig.receiving());
    QVERIFY(!QFile::exists(m_path));

    // The send goes on and arrives whole.
    QCOMPARE(head + rig.pty.readExactly(sendData.size() - head.size()), sendData);
    QTRY_VERIFY(!rig.sending());
}

void ReceivingTest::viewShowsTextOrDump()
{
    // Markup is text and shows as it came; a control byte makes the data a hex dump.
    const QByteArray text("<b>bold</b> &amp; <i>x</i>");
    const QByteArray binary("<b>bold</b>\x01\x02<i>x</i>");
    for (const QByteArray& data : {text, binary}) {
        Rig rig;
        rig.start(m_path);
        QVERIFY(rig.pty.write(data));
        rig.form->Command4_Click();
        QCOMPARE(readFile(m_path), data);
        QCOMPARE(rig.view(),
                 data == text ? QString::fromLatin1(text) : TextPreview::hexDump(binary));
    }
}

void ReceivingTest::stopWhileIdleOnlyClearsWaitingText()
{
    Rig rig;
    rig.form->Command4_Click();
    QVERIFY(rig.idle());
    QCOMPARE(rig.label("Label7"), QString());

    // Bytes still in the system at the stop are collected; a second stop changes nothing.
    rig.start(m_path);
    QVERIFY(rig.pty.write("abc"));
    rig.form->Command4_Click();
    rig.form->Command4_Click();
    QCOMPARE(readFile(m_path), QByteArray("abc"));
    QCOMPARE(rig.view(), QStringLiteral("abc"));
    QCOMPARE(rig.label("Label7"), QStringLiteral("3"));
}

void ReceivingTest::protocolReceiveFromLrzsz()
{
    // XMODEM drops a last block's trailing 0x1A bytes as padding: this file ends in another.
    QByteArray data = randomBytes(3000, 20261207);
    data.back() = 'x';
    const QString folder = m_dir.filePath(QStringLiteral("sx"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeFile(folder + QStringLiteral("/f.bin"), data));
    FarProgram far;
    QVERIFY(far.isValid());
    QVERIFY(far.start(QStringLiteral("sx f.bin"), folder));
    Form1Rig rig({{2, far.devicePath()}});
    rig.menu(QStringLiteral("mnuProtocolXmodem"));
    // The choice is stored: the next window would start with it.
    const auto backToRaw = qScopeGuard([&rig] { rig.menu(QStringLiteral("mnuProtocolRaw")); });
    rig.dialog.answers.push_back(m_path);
    rig.form->Command3_Click();
    QVERIFY(rig.receiving());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.receiving(), 60000);
    const QString error =
        rig.messages.errors.empty() ? QString() : rig.messages.errors.front().text;
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(readFile(m_path), data);
    QCOMPARE(rig.count(), qint64(data.size()));
    QVERIFY2(rig.label(QStringLiteral("transferStatus"))
                 .startsWith(QStringLiteral("Received 3000 bytes")),
             qPrintable(rig.label(QStringLiteral("transferStatus"))));
}

void ReceivingTest::protocolStopCancelsAndKeepsBlocks()
{
    using namespace ModemBlock;
    Rig rig;
    rig.menu(QStringLiteral("mnuProtocolXmodem"));
    const auto backToRaw = qScopeGuard([&rig] { rig.menu(QStringLiteral("mnuProtocolRaw")); });
    QVERIFY(writeFile(m_path, "old content"));
    rig.start(m_path);
    // The overwrite question as for a raw reception.
    QCOMPARE(rig.messages.questions.size(), std::size_t(1));
    QVERIFY(rig.receivingArrangement());
    QCOMPARE(rig.pty.readExactly(1, 10000), QByteArray(1, CRC));
    const QByteArray block = randomBytes(128, 3);
    QVERIFY(rig.pty.write(frame(1, block, smallSize, true, SUB)));
    QVERIFY(rig.pty.readExactly(1, 10000).endsWith(ACK));
    QTRY_COMPARE(rig.count(), 128);

    QTest::mouseClick(rig.control<QPushButton>("Command4"), Qt::LeftButton);
    QVERIFY(rig.pty.collectFor(300).contains(QByteArray(2, CAN)));
    QVERIFY(rig.idle());
    QCOMPARE(readFile(m_path), block);
    QCOMPARE(rig.messages.errors.size(), std::size_t(1));
    QVERIFY2(rig.messages.errors.front().text.contains(QStringLiteral("cancel")),
             qPrintable(rig.messages.errors.front().text));
}

QTEST_MAIN(ReceivingTest)
#include "tst_form1receive.moc"
