// The status bar: how a transfer goes and how it went, and the device behind each port number,
// chosen in the window.
#include "form1rig.h"
#include "main_window/qtdevicechooser.h"
#include "platform/devicechooser.h"
#include "ptypair.h"
#include "testfiles.h"

#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>
#include <thread>
#include <utility>

namespace {

QVariant stored(const char* key)
{
    return QSettings(storeFile(), QSettings::IniFormat).value(QStringLiteral("CommSet/") + key);
}

// Answers the device chooser from a script: the devices it is given become the choice.
class ScriptedDeviceChooser final : public DeviceChooser
{
public:
    int shown = 0;
    DeviceChooser::Devices offered;
    std::optional<DeviceChooser::Devices> answer;

    bool choose(QWidget*, Devices* devices) override
    {
        ++shown;
        offered = *devices;
        if (!answer)
            return false;
        *devices = *answer;
        return true;
    }
};

// The window, shown, with a device chooser that answers from a script.
struct Rig : Form1Rig
{
    ScriptedDeviceChooser chooser;

    explicit Rig(const QMap<int, QString>& devicesForRun = {}) : Form1Rig(devicesForRun)
    {
        form->setDeviceChooser(chooser);
        form->show();
    }
    // The window goes before the chooser it was given.
    ~Rig() { form.reset(); }

    // Both rows of the status, as lines.
    QString status() const
    {
        const QString detail = label(QStringLiteral("transferDetail"));
        return label(QStringLiteral("transferStatus")) +
               (detail.isEmpty() ? QString() : QLatin1Char('\n') + detail);
    }
    QPushButton* deviceButton() const { return control<QPushButton>(QStringLiteral("portDevice")); }
};

} // namespace

class StatusTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QFile::remove(storeFile());
        QVERIFY(m_dir.isValid());
    }

    void sendShowsRateTimeLeftAndSummary();
    void receptionShowsTimeSinceLastByteAndSummary();
    void receivedCountFollowsSeveralTimesASecond();
    void deviceChosenInTheWindow();
    void choiceWinsOverDeviceGivenForTheRun();
    void noChoiceDuringTransfer();
    void unsavedChoiceIsReported();
    void dialogReturnsTheFields();

private:
    QTemporaryDir m_dir;
};

void StatusTest::sendShowsRateTimeLeftAndSummary()
{
    PtyPair pty;
    Rig rig({{2, pty.devicePath()}});
    const QSize windowSize = rig.form->size();
    const QByteArray data = randomBytes(160 * 1024, 7);
    rig.dialog.answers.push_back(writeTestFile(m_dir, QStringLiteral("send.bin"), data));
    rig.form->Command1_Click();
    QVERIFY(rig.sending());

    // The far end takes 32 KiB a second: five seconds, after what the system's buffers took.
    const int pace = 32 * 1024;
    QByteArray received;
    std::thread reader = pty.readPaced(data.size(), pace, &received);
    static const QRegularExpression sending(
        QStringLiteral("^Sending at ([\\d.]+) (B|KiB)/s, (\\d+ s|\\d+:\\d\\d) left$"));
    // A pty does not say what it holds, so the status starts from the nominal 9600 baud and
    // follows the far end once the line has taken more than the system could hold. Only the
    // order of magnitude: the reader keeps to the wall clock and a busy machine skews the rate
    // either way, but a unit slip (x1000, x1024) lands far outside.
    const auto rateNearPace = [&] {
        const QRegularExpressionMatch match = sending.match(rig.status());
        if (!match.hasMatch())
            return false;
        const double rate = match.captured(1).toDouble() * (match.captured(2) == "KiB" ? 1024 : 1);
        return rate > pace / 16 && rate < pace * 16;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(rateNearPace(), qPrintable(rig.status()), 10000);

    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 30000);
    reader.join();
    QCOMPARE(received, data);
    const QStringList summary = rig.status().split(QLatin1Char('\n'));
    QCOMPARE(summary.size(), 2);
    static const QRegularExpression sent(
        QStringLiteral("^Sent 163840 bytes in [\\d.]+ s, [\\d.]+ (B|KiB)/s on average$"));
    QVERIFY2(sent.match(summary[0]).hasMatch(), qPrintable(summary[0]));
    QCOMPARE(summary[1], QStringLiteral("SHA-256 ") + sha256Hex(data));
    // The summary stays, and the window kept its size.
    QTest::qWait(600);
    QCOMPARE(rig.status().split(QLatin1Char('\n')), summary);
    QCOMPARE(rig.form->size(), windowSize);
    QVERIFY(rig.messages.errors.empty());
}

void StatusTest::receptionShowsTimeSinceLastByteAndSummary()
{
    PtyPair pty;
    Rig rig({{2, pty.devicePath()}});
    const QString path = m_dir.filePath(QStringLiteral("received.bin"));
    rig.dialog.answers.push_back(path);
    rig.form->Command3_Click();
    QCOMPARE(rig.status(), QStringLiteral("Receiving: waiting for the first byte"));

    const QByteArray data = randomBytes(40 * 1024, 8);
    std::thread writer = pty.writePaced(data, 16 * 1024, false);
    static const QRegularExpression arriving(
        QStringLiteral("^Receiving at [\\d.]+ (B|KiB)/s, last byte 0 s ago$"));
    QTRY_VERIFY2_WITH_TIMEOUT(arriving.match(rig.status()).hasMatch(), qPrintable(rig.status()),
                              10000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.label("Label7"), QString::number(data.size()), 20000);
    writer.join();
    // Nothing more comes: the time since the last byte counts up.
    static const QRegularExpression quiet(QStringLiteral(", last byte ([1-9]\\d*) s ago$"));
    QTRY_VERIFY2_WITH_TIMEOUT(quiet.match(rig.status()).hasMatch(), qPrintable(rig.status()),
                              10000);

    rig.control<QPushButton>("Command4")->click();
    const QByteArray content = readFile(path);
    QCOMPARE(content, data);
    const QStringList summary = rig.status().split(QLatin1Char('\n'));
    QCOMPARE(summary.size(), 2);
    QVERIFY2(summary[0].startsWith(QStringLiteral("Received 40960 bytes in ")),
             qPrintable(summary[0]));
    QCOMPARE(summary[1], QStringLiteral("SHA-256 ") + sha256Hex(content));
}

void StatusTest::receivedCountFollowsSeveralTimesASecond()
{
    PtyPair pty;
    Rig rig({{2, pty.devicePath()}});
    rig.dialog.answers.push_back(m_dir.filePath(QStringLiteral("received.bin")));
    rig.form->Command3_Click();
    // A slow line brings bytes all the time: the count shown follows them four times a second,
    // not once. Counted generously, over three seconds of a steady line.
    const QByteArray data = randomBytes(8 * 1024 * 5, 9);
    std::thread writer = pty.writePaced(data, 8 * 1024, false);
    QTRY_VERIFY_WITH_TIMEOUT(rig.label("Label7") != QStringLiteral("0"), 10000);
    QElapsedTimer watched;
    watched.start();
    QString shown = rig.label("Label7");
    int changes = 0;
    while (watched.elapsed() < 3000) {
        QTest::qWait(10);
        if (rig.label("Label7") != std::exchange(shown, rig.label("Label7")))
            ++changes;
    }
    writer.join();
    QVERIFY2(changes >= 7, qPrintable(QString::number(changes)));
    rig.control<QPushButton>("Command4")->click();
}

void StatusTest::deviceChosenInTheWindow()
{
    const QString gone = QStringLiteral("/nonexistent/ttyUSB9");
    {
        QSettings settings(storeFile(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("CommSet/Port"), 1);
        settings.setValue(QStringLiteral("CommSet/Device1"), gone);
    }
    PtyPair pty;
    Rig rig;
    // A missing device shows before any file is picked.
    QCOMPARE(rig.deviceButton()->text(), QStringLiteral("COM1: %1 (missing)").arg(gone));

    rig.chooser.answer = DeviceChooser::Devices{pty.devicePath(), QString()};
    rig.deviceButton()->click();
    QCOMPARE(rig.chooser.shown, 1);
    QCOMPARE(rig.chooser.offered[0], gone);
    QCOMPARE(rig.deviceButton()->text(), QStringLiteral("COM1: ") + pty.devicePath());
    // Stored at once; COM2 had no device of its own, and still has none.
    QCOMPARE(stored("Device1").toString(), pty.devicePath());
    QVERIFY(!stored("Device2").isValid());

    // The button follows the selected port.
    rig.click("SPort1");
    QVERIFY(rig.deviceButton()->text().startsWith(QStringLiteral("COM2: ")));
    rig.click("SPort0");

    // A send goes to the device chosen.
    const QByteArray data("through the chosen device");
    rig.dialog.answers.push_back(writeTestFile(m_dir, QStringLiteral("small.txt"), data));
    rig.form->Command1_Click();
    QCOMPARE(pty.readExactly(data.size()), data);
    QVERIFY(rig.messages.errors.empty());
}

void StatusTest::choiceWinsOverDeviceGivenForTheRun()
{
    PtyPair forRun;
    PtyPair chosen;
    Rig rig({{1, forRun.devicePath()}});
    const QString com2 = rig.deviceButton()->text();

    // COM2 changes; COM1 keeps the device given for this run, which is not stored.
    rig.chooser.answer = DeviceChooser::Devices{forRun.devicePath(), chosen.devicePath()};
    rig.deviceButton()->click();
    QVERIFY(!stored("Device1").isValid());
    QCOMPARE(stored("Device2").toString(), chosen.devicePath());
    QCOMPARE(rig.deviceButton()->text(), QStringLiteral("COM2: ") + chosen.devicePath());
    QVERIFY(rig.deviceButton()->text() != com2);

    // COM1 changes too: the user's choice wins for this run as well, and is kept.
    rig.chooser.answer = DeviceChooser::Devices{chosen.devicePath(), QString()};
    rig.deviceButton()->click();
    QCOMPARE(stored("Device1").toString(), chosen.devicePath());
    QVERIFY(!stored("Device2").isValid());
    rig.click("SPort0");
    QCOMPARE(rig.deviceButton()->text(), QStringLiteral("COM1: ") + chosen.devicePath());
}

void StatusTest::noChoiceDuringTransfer()
{
    PtyPair pty;
    Rig rig({{2, pty.devicePath()}});
    rig.chooser.answer = DeviceChooser::Devices{QStringLiteral("/dev/ttyUSB7"), QString()};
    const QByteArray data = randomBytes(256 * 1024, 9);
    rig.dialog.answers.push_back(writeTestFile(m_dir, QStringLiteral("long.bin"), data));
    rig.form->Command1_Click();
    QVERIFY(rig.sending());
    QVERIFY(!rig.deviceButton()->isEnabled());
    rig.deviceButton()->click();
    // A right-click on the port frame, whatever reaches it.
    auto* frame = rig.control("Frame1");
    QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(5, 5),
                           frame->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(frame, &menu);
    QCOMPARE(rig.chooser.shown, 0);

    QCOMPARE(pty.readExactly(data.size()), data);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 20000);
    QVERIFY(rig.deviceButton()->isEnabled());
    QApplication::sendEvent(frame, &menu);
    QCOMPARE(rig.chooser.shown, 1);
    QCOMPARE(stored("Device1").toString(), QStringLiteral("/dev/ttyUSB7"));
}

void StatusTest::unsavedChoiceIsReported()
{
    // A folder where the file should be: nothing can be written there.
    QVERIFY(QDir().mkpath(storeFile()));
    Rig rig;
    rig.chooser.answer = DeviceChooser::Devices{QStringLiteral("/dev/ttyACM0"), QString()};
    rig.deviceButton()->click();
    QCOMPARE(rig.messages.errors.size(), std::size_t(1));
    QVERIFY2(rig.messages.errors[0].text.contains(storeFile()),
             qPrintable(rig.messages.errors[0].text));
    // Used in this run all the same.
    rig.click("SPort0");
    QVERIFY(rig.deviceButton()->text().startsWith(QStringLiteral("COM1: /dev/ttyACM0")));
    rig.form.reset();
    QDir(storeFile()).removeRecursively();
}

void StatusTest::dialogReturnsTheFields()
{
    // The real dialog: typed paths come back trimmed, a dismissed dialog changes nothing.
    QtDeviceChooser chooser;
    DeviceChooser::Devices devices{QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyUSB0")};
    for (const bool accept : {false, true}) {
        // The dialog is answered whatever it holds, and checked once it is gone: a failure
        // inside would leave it open, waiting for good.
        QString shown = QStringLiteral("no dialog");
        QTimer::singleShot(0, [accept, &shown] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("device1"));
            auto* refresh = dialog->findChild<QPushButton*>(QStringLiteral("refresh"));
            shown = QStringLiteral("no device1 field or refresh button");
            if (field && refresh) {
                shown = field->text();
                field->setText(QStringLiteral("  /tmp/my-pty "));
                refresh->click();
            }
            accept ? dialog->accept() : dialog->reject();
        });
        const bool chosen = chooser.choose(nullptr, &devices);
        QCOMPARE(shown, QStringLiteral("/dev/ttyS0"));
        QCOMPARE(chosen, accept);
    }
    QCOMPARE(devices[0], QStringLiteral("/tmp/my-pty"));
    QCOMPARE(devices[1], QStringLiteral("/dev/ttyUSB0"));
}

QTEST_MAIN(StatusTest)
#include "tst_form1status.moc"
