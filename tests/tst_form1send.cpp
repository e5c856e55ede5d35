// Sending a file from the main window to a device at the far end of the line.
#include "farprogram.h"
#include "form1rig.h"
#include "ptypair.h"
#include "testfiles.h"
#include "transfer/filesender.h"
#include "transfer/modemblock.h"
#include "transfer/textpreview.h"

#include <QDir>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <thread>

#include <memory>
#include <sys/stat.h>

class TestSending : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void arrivesWhole_data();
    void arrivesWhole();
    void windowFollowsTheSend();
    void longFileProgress();
    void countFollowsASlowFarEnd();
    void cancelStopsAtOnce();
    void dismissedDialogChangesNothing();
    void portHeldByAnotherProgram();
    void unusableChoice_data();
    void unusableChoice();
    void farEndGoneMidSend();
    void fileShrinksMidSend();
    void windowGoesAwayMidSend_data();
    void windowGoesAwayMidSend();
    void secondSendFromMenuIsRefused();
    void droppedFileIsSent();
    void waitsForAnAbsentDevice();
    void protocolSendReachesLrzsz();
    void protocolSendFollowsAcksAndCancels();

private:
    bool shown(const char* name) const { return m_rig->control(name)->isVisible(); }
    bool enabled(const char* name) const { return m_rig->control(name)->isEnabled(); }
    // The first chunk of a send at the window's first speed.
    static int firstChunk() { return SerialPort().output().OutBufferSize(); }

    // The count Label4 shows, or -1 when it does not read " N".
    qint64 shownCount() const;
    // Every control's text and state, to show that nothing changed.
    QStringList snapshot() const;
    // Empty when the window is back to rest: nothing sending, the port closed, the buttons and
    // frames usable; otherwise what is not.
    QString idleProblem() const;
    // How many of this process's file descriptors refer to `path`.
    static int openHandles(const QString& path);
    // Starts sending `bytes` and waits until the far end has at least `prefix` bytes of it;
    // returns all that arrived.
    QByteArray startAndReadPrefix(const QByteArray& bytes, qsizetype prefix);
    // Sends the file at `path`, which holds `bytes`, and waits until the far end has it whole
    // and the window is back to rest.
    void sendWhole(const QString& path, const QByteArray& bytes);
    // The far end stops reading while the send goes on, until the line is full; returns the
    // count of bytes handed to the system by then, at least.
    qint64 stallFarEnd(const QByteArray& prefix);
    // What the system's queue held at least when the far end stalled: all that was handed
    // over and not read, but for the one chunk Qt may still have held.
    qint64 queuedAtStall(const QByteArray& prefix, qint64 sentBefore) const
    {
        return sentBefore - prefix.size() - firstChunk();
    }

    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<Form1Rig> m_rig;
};

void TestSending::init()
{
    QVERIFY(m_dir.isValid());
    m_pty = std::make_unique<PtyPair>();
    QVERIFY(m_pty->isValid());
    m_rig = std::make_unique<Form1Rig>(QMap<int, QString>{{2, m_pty->devicePath()}});
    m_rig->form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_rig->form.get()));
}

void TestSending::cleanup()
{
    m_rig.reset();
    m_pty.reset();
}

qint64 TestSending::shownCount() const
{
    static const QRegularExpression count(QStringLiteral("^ (\\d+)$"));
    const auto match = count.match(m_rig->label("Label4"));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

QStringList TestSending::snapshot() const
{
    QStringList state;
    for (QWidget* w : m_rig->form->centralWidget()->findChildren<QWidget*>()) {
        if (w->objectName().isEmpty())
            continue;
        QString text;
        if (auto* l = qobject_cast<QLabel*>(w))
            text = l->text();
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            text = b->text() + (b->isChecked() ? "[x]" : "");
        else if (auto* e = qobject_cast<QPlainTextEdit*>(w))
            text = e->toPlainText();
        else if (auto* p = qobject_cast<QProgressBar*>(w))
            text = QString::number(p->value());
        state << QStringLiteral("%1 '%2' %3 %4")
                     .arg(w->objectName(), text, QLatin1String(w->isHidden() ? "hidden" : "shown"),
                          QLatin1String(w->isEnabled() ? "enabled" : "disabled"));
    }
    return state;
}

QString TestSending::idleProblem() const
{
    if (m_rig->sending())
        return QStringLiteral("still sending");
    if (m_pty->isHeld())
        return QStringLiteral("port still open");
    for (const char* name : {"Command1", "Command3", "Frame1", "Frame2"}) {
        if (!shown(name) || !enabled(name))
            return QStringLiteral("%1 not usable").arg(QLatin1String(name));
    }
    for (const char* name : {"Command2", "ProgressBar"}) {
        if (shown(name))
            return QStringLiteral("%1 shown").arg(QLatin1String(name));
    }
    return {};
}

int TestSending::openHandles(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    int count = 0;
    for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        count += QFile::symLinkTarget(fds.filePath(fd)) == target ? 1 : 0;
    return count;
}

QByteArray TestSending::startAndReadPrefix(const QByteArray& bytes, qsizetype prefix)
{
    m_path = writeTestFile(m_dir, QStringLiteral("outgoing.bin"), bytes);
    m_rig->dialog.answers = {m_path};
    m_rig->form->Command1_Click();
    return m_pty->readExactly(prefix);
}

void TestSending::sendWhole(const QString& path, const QByteArray& bytes)
{
    m_rig->dialog.answers = {path};
    m_rig->form->Command1_Click();
    QCOMPARE(m_pty->readExactly(bytes.size()), bytes);
    QTRY_VERIFY2_WITH_TIMEOUT(idleProblem().isEmpty(), qPrintable(idleProblem()), 20000);
}

qint64 TestSending::stallFarEnd(const QByteArray& prefix)
{
    if (prefix.isEmpty() || !m_rig->sending())
        return -1;
    // A pty holds about 18 KiB; 12 KiB more than was read means output is queued.
    const auto* sender = m_rig->form->findChild<FileSender*>();
    if (!sender ||
        !QTest::qWaitFor([&] { return sender->handedCount() >= prefix.size() + 12 * 1024; }, 20000))
        return -1;
    return sender->handedCount();
}

void TestSending::arrivesWhole_data()
{
    QTest::addColumn<int>("chunks");
    QTest::addColumn<int>("extra");
    QTest::addColumn<bool>("allByteValues");
    // The far end reads only after the send ended: shows the port closes only once drained.
    QTest::addColumn<bool>("readAfterEnd");

    QTest::newRow("empty") << 0 << 0 << false << true;
    QTest::newRow("one byte") << 0 << 1 << false << true;
    QTest::newRow("chunk less one") << 1 << -1 << false << true;
    QTest::newRow("one chunk") << 1 << 0 << false << true;
    QTest::newRow("chunk and one") << 1 << 1 << false << true;
    QTest::newRow("several chunks") << 7 << 13 << false << true;
    // More than the far end's 4 KiB line buffer, less than what the pty holds in all.
    QTest::newRow("queued at the far end") << 40 << 7 << false << true;
    QTest::newRow("all byte values") << 0 << 4 * 256 << true << true;
    QTest::newRow("1 MiB random") << 0 << 1024 * 1024 << false << false;
}

void TestSending::arrivesWhole()
{
    QFETCH(int, chunks);
    QFETCH(int, extra);
    QFETCH(bool, allByteValues);
    QFETCH(bool, readAfterEnd);

    const int size = chunks * firstChunk() + extra;
    const QByteArray bytes =
        allByteValues ? everyByteValue(size / 256) : randomBytes(size, 20240611);
    const QString path = writeTestFile(m_dir, QStringLiteral("file.bin"), bytes);
    m_rig->dialog.answers = {path};
    m_rig->form->Command1_Click();

    QByteArray received;
    if (readAfterEnd) {
        QTRY_VERIFY2_WITH_TIMEOUT(idleProblem().isEmpty(), qPrintable(idleProblem()), 20000);
        received = m_pty->readExactly(size, 2000);
    } else {
        received = m_pty->readExactly(size, 60000);
        QTRY_VERIFY2_WITH_TIMEOUT(idleProblem().isEmpty(), qPrintable(idleProblem()), 20000);
    }
    QCOMPARE(received.size(), bytes.size());
    QVERIFY(received == bytes);
    QCOMPARE(m_pty->collectFor(100).size(), 0);
    QCOMPARE(openHandles(path), 0);
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(0));
}

void TestSending::windowFollowsTheSend()
{
    // Markup in the name and in the text must show as typed, never be interpreted.
    QByteArray text;
    for (int line = 0; text.size() < TextPreview::fileLimit; ++line)
        text += QStringLiteral("<b>line %1</b> &amp; <i>more</i>\n").arg(line).toUtf8();
    const qsizetype previewed = TextPreview::fileLimit;
    while (text.size() < 3 * previewed)
        text += "beyond the preview\n";
    const QString path = writeTestFile(m_dir, QStringLiteral("<b>notes<i> & more.txt"), text);

    m_rig->dialog.answers = {path};
    QTest::mouseClick(m_rig->control<QPushButton>("Command1"), Qt::LeftButton);

    const auto checkSending = [&] {
        QCOMPARE(m_rig->label("Label6"), QStringLiteral("Open File:"));
        QCOMPARE(m_rig->label("Label3"), path);
        QCOMPARE(m_rig->control<QLabel>("Label3")->textFormat(), Qt::PlainText);
        auto* view = m_rig->control<QPlainTextEdit>("text1");
        QVERIFY(view->isVisible());
        QVERIFY(view->isReadOnly());
        QVERIFY(
            view->toPlainText().startsWith(QStringLiteral("<b>line 0</b> &amp; <i>more</i>\n")));
        QVERIFY(!view->toPlainText().contains(QStringLiteral("beyond the preview")));
        QCOMPARE(m_rig->label("Label5"), QStringLiteral("Sum: %1").arg(text.size()));
        for (const char* name : {"ProgressBar", "Label4", "Label5", "Command2"})
            QVERIFY2(shown(name), name);
        QVERIFY(!shown("Label7"));
        for (const char* name : {"Command1", "Command3", "Frame1", "Frame2"})
            QVERIFY2(!enabled(name), name);
        QVERIFY(enabled("Command2"));
    };
    checkSending();
    if (QTest::currentTestFailed())
        return;

    const QByteArray prefix = m_pty->readExactly(4096);
    QVERIFY(prefix.size() >= 4096);
    QVERIFY(m_rig->sending());
    checkSending();
    if (QTest::currentTestFailed())
        return;
    // The count is what may have left the line (at its speed, not at the pty's), followed a few
    // times a second, and the bar says the same.
    QTRY_VERIFY(shownCount() > 0);
    const qint64 sent = shownCount();
    QVERIFY2(sent < text.size(), qPrintable(m_rig->label("Label4")));
    auto* bar = m_rig->control<QProgressBar>("ProgressBar");
    QCOMPARE(qint64(bar->maximum()), qint64(text.size()));
    QCOMPARE(qint64(bar->value()), sent);

    const QByteArray rest = m_pty->readExactly(text.size() - prefix.size());
    QTRY_VERIFY2_WITH_TIMEOUT(idleProblem().isEmpty(), qPrintable(idleProblem()), 20000);
    QVERIFY(prefix + rest == text);
    QCOMPARE(shownCount(), qint64(text.size()));
    QCOMPARE(bar->value(), bar->maximum());
    for (const char* name : {"Command2", "ProgressBar", "Label4", "Label5"})
        QVERIFY2(!shown(name), name);
    // What was sent stays on view.
    QCOMPARE(m_rig->label("Label6"), QStringLiteral("Open File:"));
    QCOMPARE(m_rig->label("Label3"), path);
    QVERIFY(shown("text1"));
    QVERIFY(m_rig->control<QPlainTextEdit>("text1")->toPlainText().startsWith(
        QStringLiteral("<b>line 0")));
    QCOMPARE(openHandles(path), 0);
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(0));
}

void TestSending::longFileProgress()
{
    // A sparse file longer than the bar's int range.
    const qint64 length = (qint64(5) << 30) + 12345;
    const QString path = m_dir.filePath(QStringLiteral("long.img"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(length));
    }
    m_rig->dialog.answers = {path};
    m_rig->form->Command1_Click();
    const QByteArray prefix = m_pty->readExactly(8192);
    QVERIFY(prefix.size() >= 8192);
    QCOMPARE(prefix.count('\0'), prefix.size());

    QCOMPARE(m_rig->label("Label5"), QStringLiteral("Sum: %1").arg(length));
    QTRY_VERIFY(shownCount() > 0);
    const qint64 sent = shownCount();
    auto* bar = m_rig->control<QProgressBar>("ProgressBar");
    QVERIFY(bar->maximum() > 0);
    QVERIFY(qAbs(bar->value() - sent * bar->maximum() / length) <= 1);

    m_rig->form->Command2_Click();
    QVERIFY2(idleProblem().isEmpty(), qPrintable(idleProblem()));
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(0));
}

void TestSending::countFollowsASlowFarEnd()
{
    // A far end that reads at the nominal 9600 baud, 960 bytes a second, behind a pty that
    // swallows some 20 KiB at once: the count follows what it has read, and moves as it reads.
    QCOMPARE(m_rig->label("Label2"), QStringLiteral("9600,N,8,1"));
    const QByteArray bytes = randomBytes(200'000, 960);
    m_path = writeTestFile(m_dir, QStringLiteral("outgoing.bin"), bytes);
    std::atomic<qint64> farEnd = 0;
    std::atomic<bool> reading = true;
    std::thread reader([&] {
        const auto start = std::chrono::steady_clock::now();
        QByteArray arrived;
        while (reading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
            arrived += m_pty->readAvailable(std::max<qint64>(0, ms * 960 / 1000 - arrived.size()));
            farEnd = arrived.size();
        }
    });
    m_rig->dialog.answers = {m_path};
    m_rig->form->Command1_Click();
    QSet<qint64> counts;
    const qint64 slack = firstChunk() + 4096;
    for (int i = 0; i < 12 && !QTest::currentTestFailed(); ++i) {
        QTest::qWait(250);
        const qint64 shown = shownCount();
        counts << shown;
        QVERIFY2(qAbs(shown - farEnd) <= slack,
                 qPrintable(QStringLiteral("%1 shown, %2 read").arg(shown).arg(farEnd)));
    }
    m_rig->form->Command2_Click();
    reading = false;
    reader.join();
    QVERIFY2(counts.size() >= 6, qPrintable(QDebug::toString(counts)));
}

void TestSending::cancelStopsAtOnce()
{
    const QByteArray bytes = randomBytes(256 * 1024, 20240611);
    const QByteArray prefix = startAndReadPrefix(bytes, 2048);
    const qint64 sentBefore = stallFarEnd(prefix);

    QTest::mouseClick(m_rig->control<QPushButton>("Command2"), Qt::LeftButton);
    QVERIFY2(idleProblem().isEmpty(), qPrintable(idleProblem()));
    QVERIFY(!shown("Label4"));
    QVERIFY(!shown("Label5"));
    QCOMPARE(openHandles(m_path), 0);

    // The line falls silent: what was still queued is thrown away, not left to go out.
    QVERIFY(sentBefore > 0);
    const qint64 queued = queuedAtStall(prefix, sentBefore);
    const QByteArray after = m_pty->collectFor(500);
    QVERIFY(bytes.startsWith(prefix + after));
    QVERIFY2(after.size() < queued, qPrintable(QString::number(after.size())));
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(0));
}

void TestSending::dismissedDialogChangesNothing()
{
    // Bytes from the device wait in the port; an open and close would throw them away.
    QVERIFY(m_pty->write("waiting"));
    const QStringList before = snapshot();
    m_rig->dialog.answers = {QString()};
    m_rig->menu("mnuSendFile");

    QCOMPARE(m_rig->dialog.opens, 1);
    QCOMPARE(snapshot(), before);
    QVERIFY(!m_pty->isHeld());
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(0));
    QCOMPARE(m_pty->collectFor(100).size(), 0);
    QSerialPort device(m_pty->devicePath());
    QVERIFY(device.open(QIODevice::ReadWrite));
    QVERIFY(device.waitForReadyRead(5000));
    QCOMPARE(device.readAll(), QByteArray("waiting"));
}

void TestSending::portHeldByAnotherProgram()
{
    const QByteArray bytes = randomBytes(3000, 20240611);
    const QString path = writeTestFile(m_dir, QStringLiteral("held.bin"), bytes);
    QSerialPort holder(m_pty->devicePath());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    // The message says who holds the device.
    const QString reason = QStringLiteral("locked by another program (%1, process %2)")
                               .arg(QCoreApplication::applicationName())
                               .arg(QCoreApplication::applicationPid());

    const QStringList before = snapshot();
    m_rig->dialog.answers = {path};
    m_rig->form->Command1_Click();

    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
    const QString message = m_rig->messages.errors.front().text;
    QVERIFY2(message.contains(QStringLiteral("COM2")), qPrintable(message));
    QVERIFY2(message.contains(m_pty->devicePath()), qPrintable(message));
    QVERIFY2(message.contains(reason), qPrintable(message));
    QCOMPARE(m_rig->messages.errors.front().title,
             QStringLiteral("Marlune DownLoad File And Bckup File"));
    QCOMPARE(snapshot(), before);
    QVERIFY(!m_pty->isHeld());
    QCOMPARE(openHandles(path), 0);
    QCOMPARE(m_pty->collectFor(100).size(), 0);

    // Once the other program lets go, the same choice goes through.
    holder.close();
    sendWhole(path, bytes);
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
}

void TestSending::unusableChoice_data()
{
    // What the dialog gives; "DIR/" stands for a folder of the test's own.
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("says");
    QTest::newRow("missing file") << "DIR/no such file.bin"
                                  << "No such file";
    QTest::newRow("folder") << "DIR/a folder"
                            << "folder";
    // Opening a pipe for reading would wait for a writer, and hold up the window for good.
    QTest::newRow("pipe") << "DIR/a pipe"
                          << "pipe";
    QTest::newRow("device") << "/dev/zero"
                            << "device";
    QTest::newRow("system file with no length") << "/proc/self/status"
                                                << "length reads 0";
}

void TestSending::unusableChoice()
{
    QFETCH(QString, choice);
    QFETCH(QString, says);

    // A send before, so that a stale count could show.
    const QByteArray bytes = randomBytes(700, 20240611);
    const QString good = writeTestFile(m_dir, QStringLiteral("good.bin"), bytes);
    sendWhole(good, bytes);
    if (QTest::currentTestFailed())
        return;

    const QString bad = QString(choice).replace(QStringLiteral("DIR/"), m_dir.path() + '/');
    if (bad.endsWith(QStringLiteral("a folder")))
        QVERIFY(QDir().mkpath(bad));
    if (bad.endsWith(QStringLiteral("a pipe")))
        QCOMPARE(::mkfifo(QFile::encodeName(bad).constData(), 0600), 0);
    m_rig->dialog.answers = {bad};
    m_rig->form->Command1_Click();

    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
    const QString message = m_rig->messages.errors.front().text;
    QVERIFY2(message.contains(bad) && message.contains(says), qPrintable(message));
    QVERIFY2(idleProblem().isEmpty(), qPrintable(idleProblem()));
    QVERIFY(!shown("Label5") || !m_rig->label("Label5").startsWith(QStringLiteral("Sum:")));
    QCOMPARE(m_pty->collectFor(200).size(), 0);

    // The port was given back: the next send works.
    sendWhole(good, bytes);
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
}

void TestSending::farEndGoneMidSend()
{
    const QByteArray prefix = startAndReadPrefix(randomBytes(256 * 1024, 20240611), 4096);
    QVERIFY(prefix.size() >= 4096);
    QVERIFY(m_rig->sending());

    m_pty->closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(m_rig->messages.errors.size(), std::size_t(1), 20000);
    QVERIFY2(m_rig->messages.errors.front().text.contains(QStringLiteral("COM2")),
             qPrintable(m_rig->messages.errors.front().text));
    QVERIFY2(idleProblem().isEmpty(), qPrintable(idleProblem()));
    QCOMPARE(openHandles(m_path), 0);
    // Nothing more comes of it.
    QTest::qWait(500);
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
    QVERIFY2(idleProblem().isEmpty(), qPrintable(idleProblem()));
}

void TestSending::fileShrinksMidSend()
{
    const QByteArray bytes = randomBytes(512 * 1024, 20240611);
    QByteArray received = startAndReadPrefix(bytes, 4096);
    QVERIFY(m_rig->sending());
    // The file now ends a little ahead of the send, well within what the line holds, and the
    // far end reads nothing until the send has stopped.
    const qint64 newLength = shownCount() + 8192;
    QVERIFY(QFile::resize(m_path, newLength));

    QTRY_COMPARE_WITH_TIMEOUT(m_rig->messages.errors.size(), std::size_t(1), 20000);
    QVERIFY2(idleProblem().isEmpty(), qPrintable(idleProblem()));
    QCOMPARE(openHandles(m_path), 0);
    received += m_pty->collectFor(300);
    QVERIFY(bytes.startsWith(received));
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
    // The message counts what was sent; all of it must reach the far end.
    QCOMPARE(qint64(received.size()), shownCount());
}

void TestSending::windowGoesAwayMidSend_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("closed") << false;
    QTest::newRow("destroyed") << true;
}

void TestSending::windowGoesAwayMidSend()
{
    QFETCH(bool, destroy);

    const QByteArray bytes = randomBytes(256 * 1024, 20240611);
    const QByteArray prefix = startAndReadPrefix(bytes, 4096);
    const qint64 sentBefore = stallFarEnd(prefix);
    QVERIFY(sentBefore > 0);
    const qint64 queued = queuedAtStall(prefix, sentBefore);

    if (destroy) {
        m_rig->form.reset();
    } else {
        QVERIFY(m_rig->form->close());
        QVERIFY(!m_rig->sending());
        QVERIFY(!m_pty->isHeld());
    }
    QCOMPARE(openHandles(m_path), 0);
    // As with a cancel, the line falls silent.
    const QByteArray after = m_pty->collectFor(500);
    QVERIFY(bytes.startsWith(prefix + after));
    QVERIFY2(after.size() < queued, qPrintable(QString::number(after.size())));
    // The port was let go: another program can have it.
    QSerialPort next(m_pty->devicePath());
    QVERIFY2(next.open(QIODevice::ReadWrite), qPrintable(next.errorString()));
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(0));
}

void TestSending::secondSendFromMenuIsRefused()
{
    const QByteArray bytes = randomBytes(256 * 1024, 20240611);
    const QByteArray prefix = startAndReadPrefix(bytes, 4096);
    QVERIFY(m_rig->sending());
    // Even a file that cannot be sent is refused for the port, and leaves the send as it is.
    const QString other = m_dir.path() + QStringLiteral("/a folder");
    QVERIFY(QDir().mkpath(other));

    bool messageBeforeDialog = true;
    m_rig->dialog.whileShown = [&] { messageBeforeDialog = !m_rig->messages.errors.empty(); };
    m_rig->dialog.answers = {other};
    m_rig->menu("mnuSendFile");

    QCOMPARE(m_rig->dialog.opens, 2);
    QVERIFY(!messageBeforeDialog);
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
    QVERIFY2(m_rig->messages.errors.front().text.contains(QStringLiteral("already open")),
             qPrintable(m_rig->messages.errors.front().text));
    QVERIFY(m_rig->sending());
    QCOMPARE(m_rig->label("Label3"), m_path);
    QCOMPARE(m_rig->label("Label5"), QStringLiteral("Sum: %1").arg(bytes.size()));

    const QByteArray rest = m_pty->readExactly(bytes.size() - prefix.size());
    QTRY_VERIFY2_WITH_TIMEOUT(idleProblem().isEmpty(), qPrintable(idleProblem()), 20000);
    QVERIFY(prefix + rest == bytes);
    QCOMPARE(m_pty->collectFor(100).size(), 0);
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
}

void TestSending::droppedFileIsSent()
{
    const auto drop = [this](const QString& path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(m_rig->form.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_rig->form.get(), &dropped);
        QVERIFY(dropped.isAccepted());
    };
    // The same send as the menu's, with the dropped file instead of the dialog.
    const QByteArray bytes = randomBytes(256 * 1024, 20240611);
    const QString path = writeTestFile(m_dir, QStringLiteral("dropped.bin"), bytes);
    drop(path);
    QTRY_VERIFY(m_rig->sending());
    QCOMPARE(m_rig->label("Label3"), path);
    const QByteArray prefix = m_pty->readExactly(4096);

    // Refused during a send exactly as the menu's Send File is, with no dialog.
    drop(writeTestFile(m_dir, QStringLiteral("other.bin"), "not this one"));
    QTRY_COMPARE(m_rig->messages.errors.size(), std::size_t(1));
    QVERIFY2(m_rig->messages.errors.front().text.contains(QStringLiteral("already open")),
             qPrintable(m_rig->messages.errors.front().text));
    QCOMPARE(m_rig->dialog.opens, 0);
    QVERIFY(m_rig->sending());
    QCOMPARE(m_rig->label("Label3"), path);

    const QByteArray rest = m_pty->readExactly(bytes.size() - prefix.size());
    QVERIFY(prefix + rest == bytes);
    QTRY_VERIFY2_WITH_TIMEOUT(idleProblem().isEmpty(), qPrintable(idleProblem()), 20000);
}

void TestSending::waitsForAnAbsentDevice()
{
    // COM1 names a device that is not there yet: a link that appears later.
    const QString link = m_dir.filePath(QStringLiteral("late-board"));
    Form1Rig rig({{1, link}});
    rig.click(QStringLiteral("SPort0"));
    rig.menu(QStringLiteral("mnuWaitForDevice"));
    // Off again at the end, so that no other test finds it on in the store.
    const auto off = qScopeGuard([&rig] { rig.menu(QStringLiteral("mnuWaitForDevice")); });
    const QByteArray data = randomBytes(3000, 41);
    const QString file = writeTestFile(m_dir, QStringLiteral("late.bin"), data);
    rig.dialog.answers.push_back(file);
    rig.form->Command1_Click();
    QVERIFY2(rig.label(QStringLiteral("transferStatus"))
                 .contains(QStringLiteral("waiting for it to appear")),
             qPrintable(rig.label(QStringLiteral("transferStatus"))));
    QVERIFY(rig.sending());
    QVERIFY(rig.messages.errors.empty());
    // A second send from the menu meanwhile is refused; the first keeps waiting.
    rig.dialog.answers.push_back(file);
    rig.menu(QStringLiteral("mnuSendFile"));
    QCOMPARE(rig.messages.errors.size(), std::size_t(1));
    QVERIFY(rig.sending());
    rig.messages.errors.clear();
    // Send Cancel gives up the wait.
    rig.form->Command2_Click();
    QVERIFY(!rig.sending());
    QVERIFY(rig.control(QStringLiteral("Command1"))->isEnabled());

    rig.dialog.answers.push_back(file);
    rig.form->Command1_Click();
    QVERIFY(rig.sending());
    QVERIFY(QFile::link(m_pty->devicePath(), link));
    QCOMPARE(m_pty->readExactly(data.size()), data);
    QTRY_VERIFY(!rig.sending());
    QVERIFY(rig.messages.errors.empty());
}

void TestSending::protocolSendReachesLrzsz()
{
    m_rig.reset();
    FarProgram far;
    QVERIFY(far.isValid());
    Form1Rig rig({{2, far.devicePath()}});
    rig.menu(QStringLiteral("mnuProtocolYmodem"));
    // The choice is stored: the next window would start with it.
    const auto backToRaw = qScopeGuard([&rig] { rig.menu(QStringLiteral("mnuProtocolRaw")); });
    const QByteArray bytes = randomBytes(5000, 20261207);
    const QString path = writeTestFile(m_dir, QStringLiteral("ymodem.bin"), bytes);
    const QString in = m_dir.filePath(QStringLiteral("in"));
    QVERIFY(QDir().mkpath(in));
    rig.dialog.answers.push_back(path);
    rig.form->Command1_Click();
    QVERIFY(rig.sending());
    QCOMPARE(rig.label(QStringLiteral("Label5")), QStringLiteral("Sum: 5000"));
    QVERIFY(far.start(QStringLiteral("rb"), in));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 60000);
    const QString error =
        rig.messages.errors.empty() ? QString() : rig.messages.errors.front().text;
    QVERIFY2(error.isEmpty(), qPrintable(error));
    int exitCode = -1;
    QVERIFY(far.waitForExit(10000, &exitCode));
    QCOMPARE(exitCode, 0);
    QCOMPARE(readFile(in + QStringLiteral("/ymodem.bin")), bytes);
    QVERIFY2(
        rig.label(QStringLiteral("transferStatus")).startsWith(QStringLiteral("Sent 5000 bytes")),
        qPrintable(rig.label(QStringLiteral("transferStatus"))));
}

void TestSending::protocolSendFollowsAcksAndCancels()
{
    using namespace ModemBlock;
    m_rig->menu(QStringLiteral("mnuProtocolXmodem1k"));
    const auto backToRaw = qScopeGuard([this] { m_rig->menu(QStringLiteral("mnuProtocolRaw")); });
    const QByteArray bytes = randomBytes(5000, 7);
    m_path = writeTestFile(m_dir, QStringLiteral("xmodem1k.bin"), bytes);
    m_rig->dialog.answers.push_back(m_path);
    m_rig->form->Command1_Click();
    QVERIFY(m_rig->sending());
    QVERIFY(m_pty->write(QByteArray(1, CRC)));
    QCOMPARE(m_pty->readExactly(1029, 10000), frame(1, bytes.first(1024), largeSize, true, SUB));
    // A block on the line is not counted until the receiver acknowledges it.
    QCOMPARE(shownCount(), 0);
    QVERIFY(m_pty->write(QByteArray(1, ACK)));
    QCOMPARE(m_pty->readExactly(1029, 10000),
             frame(2, bytes.sliced(1024, 1024), largeSize, true, SUB));
    QTRY_COMPARE(shownCount(), 1024);
    QCOMPARE(m_rig->control<QProgressBar>("ProgressBar")->value(), 1024);

    QTest::mouseClick(m_rig->control<QPushButton>("Command2"), Qt::LeftButton);
    QVERIFY(m_pty->collectFor(300).startsWith(QByteArray(2, CAN)));
    QVERIFY2(idleProblem().isEmpty(), qPrintable(idleProblem()));
    QCOMPARE(openHandles(m_path), 0);
    QCOMPARE(m_rig->messages.errors.size(), std::size_t(1));
    QVERIFY2(m_rig->messages.errors.front().text.contains(QStringLiteral("cancel")),
             qPrintable(m_rig->messages.errors.front().text));
}

QTEST_MAIN(TestSending)
#include "tst_form1send.moc"
