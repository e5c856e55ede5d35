// The port choice kept from one run to the next, help, and the two ways to end the program.
#include "form1rig.h"
#include "main_window/helpwindow.h"
#include "main_window/qthelpviewer.h"
#include "main_window/sendoptionseditor.h"
#include "marlunerun.h"
#include "platform/commsettings.h"
#include "platform/settingsstore.h"
#include "ptypair.h"
#include "testfiles.h"

#include <QDir>
#include <QMenu>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <optional>

#include <sys/stat.h>

namespace {

// What the store file holds, read independently of the program's own store.
struct Stored
{
    std::optional<QString> port;
    std::optional<QString> baud;
    std::optional<QString> device1;
    std::optional<QString> device2;
    std::optional<QString> flow1;
};

Stored readStore()
{
    QSettings settings(storeFile(), QSettings::IniFormat);
    const auto get = [&](const char* key) -> std::optional<QString> {
        const QVariant v = settings.value(QStringLiteral("CommSet/") + QLatin1String(key));
        if (!v.isValid())
            return std::nullopt;
        return v.toString();
    };
    return {get("Port"), get("Baud"), get("Device1"), get("Device2"), get("Flow1")};
}

void writeStore(const std::optional<QString>& port, const std::optional<QString>& baud)
{
    QFile::remove(storeFile());
    QSettings settings(storeFile(), QSettings::IniFormat);
    if (port)
        settings.setValue(QStringLiteral("CommSet/Port"), *port);
    if (baud)
        settings.setValue(QStringLiteral("CommSet/Baud"), *baud);
    settings.sync();
    QCOMPARE(settings.status(), QSettings::NoError);
}

void writeRawStore(const QByteArray& content)
{
    QVERIFY(QDir().mkpath(QFileInfo(storeFile()).path()));
    QVERIFY(writeFile(storeFile(), content));
}

class ScriptedHelp final : public HelpViewer
{
public:
    bool canShow = true;
    QStringList shown;
    void showContents(QWidget*, const QString& helpFile, std::function<void()> unavailable) override
    {
        shown << helpFile;
        if (!canShow)
            unavailable();
    }
};

// The window with a help viewer that answers from a script.
// The send options dialog, answered by the test: nothing when it holds no answer (dismissed).
struct ScriptedSendOptions final : SendOptionsEditor
{
    std::optional<SendPacing> answer;
    std::optional<SendPacing> shown;

    bool edit(QWidget*, SendPacing* pacing) override
    {
        shown = *pacing;
        if (!answer)
            return false;
        *pacing = *answer;
        return true;
    }
};

struct Window : Form1Rig
{
    ScriptedHelp help;

    explicit Window(const QMap<int, QString>& devicesForRun = {}) : Form1Rig(devicesForRun)
    {
        form->setHelpViewer(help);
    }
    // The window goes before the viewer it was given.
    ~Window() { form.reset(); }

    // The object names of the checked port and speed buttons.
    QString checkedPort() const { return checked(QStringLiteral("SPort"), 2); }
    QString checkedSpeed() const { return checked(QStringLiteral("Buart"), 8); }

private:
    QString checked(const QString& prefix, int count) const
    {
        QString names;
        for (int i = 0; i < count; ++i) {
            if (control<QRadioButton>(prefix + QString::number(i))->isChecked())
                names += prefix + QString::number(i);
        }
        return names;
    }
};

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QFile::remove(storeFile()); }

    void storeLivesInTheIsolatedFolder();
    void restoreAndSaveBack_data();
    void restoreAndSaveBack();
    void handEditedValues_data();
    void handEditedValues();
    void roundTrip();
    void sendOptionsAreStoredAndUsed();
    void protocolIsStoredRestoredAndShown();
    void devicesKeptApartFromOverrides();
    void unwritableStoreIsReported();
    void endingDuringReceptionKeepsEveryByte_data();
    void endingDuringReceptionKeepsEveryByte();
    void stopSignalsCloseTheWindow_data();
    void stopSignalsCloseTheWindow();
    void exitSavesNothing();
    void exitDuringSendStops();
    void helpPath_data();
    void helpPath();
    void helpShownByViewer();
    void helpFallsBackToOwnWindow();
    void platformViewerReportsWhatCannotBeShown();
};

void SettingsTest::storeLivesInTheIsolatedFolder()
{
    const QString home = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"));
    QVERIFY(home.startsWith(QStringLiteral("/tmp/marlune-test-config-")));
    QCOMPARE(SettingsStore(CommSettings::application).fileName(),
             home + QStringLiteral("/PLOV.ini"));
}

void SettingsTest::restoreAndSaveBack_data()
{
    QTest::addColumn<std::optional<QString>>("port");
    QTest::addColumn<std::optional<QString>>("baud");
    QTest::addColumn<QString>("checkedPort");
    QTest::addColumn<QString>("label1");
    QTest::addColumn<QString>("checkedSpeed");
    QTest::addColumn<QString>("label2");

    using S = std::optional<QString>;
    const S none;
    const auto s = [](const char* t) { return S(QString::fromUtf8(t)); };
    QTest::newRow("nothing stored") << none << none << "SPort1"
                                    << "2"
                                    << "Buart3"
                                    << "9600,N,8,1";
    QTest::newRow("COM1 at 115200") << s("1") << s("115200,N,8,1") << "SPort0"
                                    << "1"
                                    << "Buart7"
                                    << "115200,N,8,1";
    QTest::newRow("19200 with another format becomes 8N1") << s("2") << s("19200,E,7,2") << "SPort1"
                                                           << "2"
                                                           << "Buart4"
                                                           << "19200,N,8,1";
    QTest::newRow("a speed without a button stays") << s("1") << s("14400,N,8,1") << "SPort0"
                                                    << "1"
                                                    << "Buart3"
                                                    << "14400,N,8,1";
    QTest::newRow("a blank before the speed matches no button")
        << s("1") << s(" 4800,N,8,1") << "SPort0"
        << "1"
        << "Buart3"
        << " 4800,N,8,1";

    // What the port cannot use reads as the default, and only that value.
    for (const char* port :
         {"0", "3", "-1", "abc", "", "1.5", "99999999999999999999", "１", "ポート"}) {
        QTest::addRow("port \"%s\"", port) << s(port) << s("57600,N,8,1") << "SPort1"
                                           << "2"
                                           << "Buart6"
                                           << "57600,N,8,1";
    }
    for (const char* baud : {"", "garbage", "9600", "N,8,1", "9600,X,8,1", "0,N,8,1",
                             "9600,N,8,1,extra", "九六〇〇,N,8,1", "2400;N;8;1"}) {
        QTest::addRow("baud \"%s\"", baud) << s("1") << s(baud) << "SPort0"
                                           << "1"
                                           << "Buart3"
                                           << "9600,N,8,1";
    }
    QTest::newRow("huge baud") << s("1") << S(QString(1 << 20, QLatin1Char('9'))) << "SPort0"
                               << "1"
                               << "Buart3"
                               << "9600,N,8,1";
}

void SettingsTest::restoreAndSaveBack()
{
    QFETCH(std::optional<QString>, port);
    QFETCH(std::optional<QString>, baud);
    QFETCH(QString, checkedPort);
    QFETCH(QString, label1);
    QFETCH(QString, checkedSpeed);
    QFETCH(QString, label2);
    if (port || baud)
        writeStore(port, baud);

    {
        Window w;
        QCOMPARE(w.checkedPort(), checkedPort);
        QCOMPARE(w.label("Label1"), label1);
        QCOMPARE(w.checkedSpeed(), checkedSpeed);
        QCOMPARE(w.label("Label2"), label2);
        w.form->close();
        QVERIFY(w.messages.errors.empty());
    }
    // The close saves what the window ended with; a restored value stays unless changed.
    const Stored stored = readStore();
    QCOMPARE(stored.port, std::optional<QString>(label1));
    QCOMPARE(stored.baud, std::optional<QString>(label2));
}

void SettingsTest::handEditedValues_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("label1");
    QTest::addColumn<QString>("label2");

    QTest::newRow("unquoted list") << QByteArray("[CommSet]\nPort=1\nBaud=38400,N,8,1\n") << "1"
                                   << "38400,N,8,1";
    QTest::newRow("spaces around the port") << QByteArray("[CommSet]\nPort = 1 \n") << "1"
                                            << "9600,N,8,1";
    QTest::newRow("binary junk") << QByteArray("\x00\xff\xfe[[[=\n\x01\x02=\x03", 13) << "2"
                                 << "9600,N,8,1";
    QTest::newRow("another section") << QByteArray("[Other]\nPort=1\nBaud=1200,N,8,1\n") << "2"
                                     << "9600,N,8,1";
}

void SettingsTest::handEditedValues()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, label1);
    QFETCH(QString, label2);
    writeRawStore(content);
    Window w;
    QCOMPARE(w.label("Label1"), label1);
    QCOMPARE(w.label("Label2"), label2);
}

void SettingsTest::roundTrip()
{
    writeRawStore("[CommSet]\nPort=2\n; kept by hand\n");
    const auto inode = [] {
        struct stat st
        {
        };
        return ::stat(QFile::encodeName(storeFile()).constData(), &st) == 0 ? st.st_ino : 0;
    };
    const ino_t before = inode();
    QVERIFY(before != 0);
    {
        Window w;
        w.click(QStringLiteral("SPort0"));
        w.click(QStringLiteral("Buart5"));
        w.menu(QStringLiteral("mnuFlowXonXoff"));
        QCOMPARE(w.label("Label1"), QStringLiteral("1"));
        QCOMPARE(w.label("Label2"), QStringLiteral("38400,N,8,1"));
        w.form->close();
    }
    QCOMPARE(readStore().flow1, std::optional<QString>(QStringLiteral("xonxoff")));
    const Stored stored = readStore();
    QCOMPARE(stored.port, std::optional<QString>(QStringLiteral("1")));
    QCOMPARE(stored.baud, std::optional<QString>(QStringLiteral("38400,N,8,1")));
    QVERIFY(!stored.device1 && !stored.device2);
    // Saved by writing a new file and renaming it over the old one, never in place.
    QVERIFY(inode() != 0);
    QVERIFY(inode() != before);

    Window next;
    QCOMPARE(next.checkedPort(), QStringLiteral("SPort0"));
    QCOMPARE(next.checkedSpeed(), QStringLiteral("Buart5"));
    QCOMPARE(next.label("Label1"), QStringLiteral("1"));
    QCOMPARE(next.label("Label2"), QStringLiteral("38400,N,8,1"));
    // The flow control belongs to the port it was chosen for.
    const auto flowShown = [&next] {
        return next.control<QAction>(QStringLiteral("mnuFlowXonXoff"))->isChecked();
    };
    QVERIFY(flowShown());
    next.click(QStringLiteral("SPort1"));
    QVERIFY(!flowShown());
    QVERIFY(next.control<QAction>(QStringLiteral("mnuFlowNone"))->isChecked());
    next.click(QStringLiteral("SPort0"));
    QVERIFY(flowShown());
}

void SettingsTest::sendOptionsAreStoredAndUsed()
{
    SendPacing paced;
    paced.charDelayMs = 5;
    paced.lineDelayMs = 250;
    paced.waitFor = "> ";
    paced.waitTimeoutMs = 2500;
    {
        Window w;
        ScriptedSendOptions editor;
        w.form->setSendOptionsEditor(editor);
        editor.answer = paced;
        w.menu(QStringLiteral("mnuSendOptions"));
        QCOMPARE(editor.shown, std::optional<SendPacing>(SendPacing{}));
        w.form->close();
    }
    Window next;
    ScriptedSendOptions editor;
    next.form->setSendOptionsEditor(editor);
    QCOMPARE(next.form->findChild<FileSender*>()->pacing(), paced);
    // Dismissed, the dialog changes nothing.
    next.menu(QStringLiteral("mnuSendOptions"));
    QCOMPARE(editor.shown, std::optional<SendPacing>(paced));
    QCOMPARE(next.form->findChild<FileSender*>()->pacing(), paced);
}

void SettingsTest::protocolIsStoredRestoredAndShown()
{
    const auto checkedProtocols = [](const Window& w) {
        QStringList names;
        for (const QAction* action : w.control<QMenu>(QStringLiteral("mnuProtocol"))->actions()) {
            if (action->isChecked())
                names << action->objectName();
        }
        return names;
    };
    {
        Window w;
        QCOMPARE(checkedProtocols(w), QStringList{QStringLiteral("mnuProtocolRaw")});
        QCOMPARE(w.label(QStringLiteral("protocolLabel")), QStringLiteral("Raw"));
        w.menu(QStringLiteral("mnuProtocolXmodem1k"));
        QCOMPARE(checkedProtocols(w), QStringList{QStringLiteral("mnuProtocolXmodem1k")});
        QCOMPARE(w.label(QStringLiteral("protocolLabel")), QStringLiteral("XMODEM-1K"));
        w.form->close();
    }
    QSettings stored(storeFile(), QSettings::IniFormat);
    QCOMPARE(stored.value(QStringLiteral("CommSet/Protocol")).toString(),
             QStringLiteral("xmodem-1k"));
    {
        Window next;
        QCOMPARE(checkedProtocols(next), QStringList{QStringLiteral("mnuProtocolXmodem1k")});
        QCOMPARE(next.label(QStringLiteral("protocolLabel")), QStringLiteral("XMODEM-1K"));
    }
    // A name this program does not know reads as raw.
    writeRawStore("[CommSet]\nProtocol=zmodem\n");
    Window edited;
    QCOMPARE(checkedProtocols(edited), QStringList{QStringLiteral("mnuProtocolRaw")});
    QCOMPARE(edited.label(QStringLiteral("protocolLabel")), QStringLiteral("Raw"));
}

void SettingsTest::devicesKeptApartFromOverrides()
{
    writeRawStore("[CommSet]\nPort=1\nDevice1=/dev/ttyUSB3\n");
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("any.bin"));
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    // The device a send is refused on names the device the port number stands for.
    const auto deviceTried = [&](Window& w) {
        w.dialog.answers.push_back(file);
        w.form->Command1_Click();
        return w.messages.errors.empty() ? QString() : w.messages.errors.back().text;
    };
    {
        Window w;
        QVERIFY2(deviceTried(w).contains(QStringLiteral("COM1 (/dev/ttyUSB3)")),
                 qPrintable(deviceTried(w)));
        w.click(QStringLiteral("SPort1"));
        QVERIFY(deviceTried(w).contains(QStringLiteral("COM2 (/dev/ttyS1)")));
    }
    {
        // A device given for one run is used, but not remembered.
        Window w({{1, QStringLiteral("/tmp/run-only")}, {2, QStringLiteral("/tmp/run-only-2")}});
        QVERIFY(deviceTried(w).contains(QStringLiteral("COM1 (/tmp/run-only)")));
        w.form->close();
    }
    const Stored stored = readStore();
    QCOMPARE(stored.device1, std::optional<QString>(QStringLiteral("/dev/ttyUSB3")));
    QVERIFY(!stored.device2);
}

void SettingsTest::unwritableStoreIsReported()
{
    // A folder where the file should be: nothing can be written there.
    QVERIFY(QDir().mkpath(storeFile()));
    {
        Window w;
        QCOMPARE(w.label("Label1"), QStringLiteral("2"));
        w.click(QStringLiteral("SPort0"));
        w.form->close();
        QCOMPARE(w.messages.errors.size(), std::size_t(1));
        QVERIFY(w.messages.errors[0].text.contains(storeFile()));
        QVERIFY(w.form->isHidden());
    }
    QVERIFY(QDir(storeFile()).removeRecursively());
}

void SettingsTest::endingDuringReceptionKeepsEveryByte_data()
{
    QTest::addColumn<bool>("byExit");
    QTest::newRow("closed: the choice is saved") << false;
    QTest::newRow("File > Exit: nothing is stored") << true;
}

void SettingsTest::endingDuringReceptionKeepsEveryByte()
{
    QFETCH(bool, byExit);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("backup.bin"));
    PtyPair pty;
    Window w({{1, pty.devicePath()}});
    w.form->show();
    w.click(QStringLiteral("SPort0"));
    w.click(QStringLiteral("Buart7"));
    w.dialog.answers.push_back(path);
    w.form->Command3_Click();
    QVERIFY(w.receiving());

    // Two blocks, then a tail that comes just before the end: it still waits then.
    const QByteArray data = pattern(2 * 512 + 300);
    QVERIFY(pty.write(data.first(1024)));
    QTRY_COMPARE_WITH_TIMEOUT(w.count(), qint64(1024), 20000);
    QVERIFY(pty.write(data.sliced(1024)));
    if (byExit)
        w.menu(QStringLiteral("mnuExit"));
    else
        w.form->close();

    QVERIFY(!pty.isHeld());
    QCOMPARE(readFile(path), data);
    if (byExit) {
        // The program ends at once: the window stays as it was, and nothing is stored.
        QVERIFY(!QFile::exists(storeFile()));
    } else {
        QVERIFY(!w.receiving());
        const Stored stored = readStore();
        QCOMPARE(stored.port, std::optional<QString>(QStringLiteral("1")));
        QCOMPARE(stored.baud, std::optional<QString>(QStringLiteral("115200,N,8,1")));
    }
}

void SettingsTest::stopSignalsCloseTheWindow_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM (a kill, a shutdown)") << SIGTERM;
    QTest::newRow("SIGHUP (a logout, a closed terminal)") << SIGHUP;
    QTest::newRow("SIGINT (Ctrl-C)") << SIGINT;
}

void SettingsTest::stopSignalsCloseTheWindow()
{
    // The program itself, as a desktop session ends it: it closes as by its close button,
    // saving the choice (a reception keeps every byte: endingDuringReception... shows that).
    QFETCH(int, signalNumber);
    writeStore(QStringLiteral("1"), QStringLiteral("4800,E,7,1"));
    MarluneRun window({QStringLiteral("-platform"), QStringLiteral("offscreen")});
    QVERIFY(window.waitUntilHandlingStopSignals());
    window.sendSignal(signalNumber);
    QVERIFY(window.waitForExit());
    QVERIFY2(window.exitedWith(0), qPrintable(window.describeEnd() + window.errorText()));
    // The restore's click made the speed plain, and only the close saves that.
    QCOMPARE(readStore().baud, std::optional<QString>(QStringLiteral("4800,N,8,1")));
}

void SettingsTest::exitSavesNothing()
{
    writeStore(QStringLiteral("2"), QStringLiteral("4800,N,8,1"));
    {
        Window w;
        w.click(QStringLiteral("SPort0"));
        w.click(QStringLiteral("Buart5"));
        w.menu("mnuExit");
        QVERIFY(w.messages.errors.empty());
    }
    const Stored stored = readStore();
    QCOMPARE(stored.port, std::optional<QString>(QStringLiteral("2")));
    QCOMPARE(stored.baud, std::optional<QString>(QStringLiteral("4800,N,8,1")));

    QFile::remove(storeFile());
    {
        Window w;
        w.click(QStringLiteral("SPort0"));
        w.menu("mnuExit");
    }
    QVERIFY(!QFile::exists(storeFile()));
}

void SettingsTest::exitDuringSendStops()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("load.bin"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(4 << 20));
    }
    PtyPair pty;
    Window w({{2, pty.devicePath()}});
    w.dialog.answers.push_back(path);
    w.form->Command1_Click();
    QVERIFY(w.sending());
    // Nobody reads the far end, so the send is still going when the program ends.
    QTest::qWait(50);
    QVERIFY(w.sending());
    w.menu("mnuExit");
    QVERIFY(!w.sending());
    QVERIFY(!pty.isHeld());
    QVERIFY(pty.collectFor(200).size() < (4 << 20));
    QVERIFY(!QFile::exists(storeFile()));
}

void SettingsTest::helpPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QString>("path");
    QTest::newRow("folder") << "/opt/marlune/bin" << QChar('/') << "/opt/marlune/bin/baud.hlp";
    QTest::newRow("root") << "/" << QChar('/') << "/baud.hlp";
    QTest::newRow("windows folder")
        << "C:\\Program Files\\Marlune" << QChar('\\') << "C:\\Program Files\\Marlune\\baud.hlp";
    QTest::newRow("drive root") << "C:\\" << QChar('\\') << "C:\\baud.hlp";
    QTest::newRow("other separator is not ours") << "C:/" << QChar('\\') << "C:/\\baud.hlp";
}

void SettingsTest::helpPath()
{
    QFETCH(QString, folder);
    QFETCH(QChar, separator);
    QFETCH(QString, path);
    QCOMPARE(HelpViewer::helpFilePath(folder, separator), path);
}

void SettingsTest::helpShownByViewer()
{
    Window w;
    w.menu("mnuContents");
    QCOMPARE(w.help.shown,
             QStringList{QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) +
                         QDir::separator() + QStringLiteral("baud.hlp")});
    QVERIFY(!w.form->findChild<HelpWindow*>());
}

void SettingsTest::helpFallsBackToOwnWindow()
{
    Window w;
    w.help.canShow = false;
    w.menu("mnuContents");
    auto* help = w.form->findChild<HelpWindow*>();
    QVERIFY(help);
    QVERIFY(help->isVisible());
    const QString text = help->text();
    QVERIFY(text.contains(w.help.shown.value(0)));
    for (const char* topic :
         {"Send File", "Receive File", "Stop Receive", "COM1", "115200", "--com1", "--com2"})
        QVERIFY2(text.contains(QLatin1String(topic)), topic);

    // Asked again, the same window comes back rather than a second one.
    help->close();
    w.menu("mnuContents");
    QCOMPARE(w.form->findChildren<HelpWindow*>().size(), 1);
    QVERIFY(help->isVisible());
}

void SettingsTest::platformViewerReportsWhatCannotBeShown()
{
    QTemporaryDir dir;
    const QString helpFile = dir.filePath(QStringLiteral("baud.hlp"));
    const QString marker = dir.filePath(QStringLiteral("opened"));
    QWidget owner;
    int unavailable = 0;
    const auto show = [&](QtHelpViewer& viewer, const QString& file) {
        viewer.showContents(&owner, file, [&] { ++unavailable; });
    };
    // An opener that records what it was given and exits with the status asked for.
    const auto opener = [&](int status) {
        return QtHelpViewer(
            QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral("printf %s \"$1\" > '%1'; exit %2").arg(marker).arg(status),
             QStringLiteral("sh")});
    };

    QtHelpViewer failing = opener(3);
    show(failing, helpFile);
    QCOMPARE(unavailable, 1); // no file: nothing is started
    QVERIFY(!QFile::exists(marker));

    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("baud.hlp")));
    show(failing, helpFile);
    QCOMPARE(unavailable, 2); // a folder is no help file either
    QVERIFY(QDir(dir.path()).rmdir(QStringLiteral("baud.hlp")));

    QVERIFY(writeFile(helpFile, QByteArray()));
    show(failing, helpFile);
    QTRY_COMPARE_WITH_TIMEOUT(unavailable, 3, 20000);
    QCOMPARE(QString::fromLocal8Bit(readFile(marker)), helpFile);

    QVERIFY(QFile::remove(marker));
    QtHelpViewer working = opener(0);
    show(working, helpFile);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 20000);
    QTest::qWait(300);
    QCOMPARE(unavailable, 3);

    QtHelpViewer missing(dir.filePath(QStringLiteral("no-such-opener")));
    show(missing, helpFile);
    QTRY_COMPARE_WITH_TIMEOUT(unavailable, 4, 20000);
}

QTEST_MAIN(SettingsTest)
#include "tst_form1settings.moc"
