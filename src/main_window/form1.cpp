#include "main_window/form1.h"

#include "main_window/fittinglabel.h"
#include "main_window/helpwindow.h"
#include "main_window/sendoptionsstore.h"
#include "platform/filedialog.h"
#include "platform/linesettings.h"
#include "platform/messageservice.h"
#include "transfer/receivetarget.h"
#include "transfer/textpreview.h"
#include "transfer/transfertext.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <climits>
#include <memory>
#include <utility>

namespace {

// "1" when a reception outlasts the loss of its device, in the "CommSet" section.
const QString reconnectKey = QStringLiteral("Reconnect");
// "1" when a transfer waits for its absent device, in the "CommSet" section.
const QString waitForDeviceKey = QStringLiteral("WaitForDevice");
// How "Send File" and "Receive File" move a file: "raw", "xmodem", "xmodem-1k" or "ymodem", in
// the "CommSet" section; anything else reads as raw.
const QString protocolKey = QStringLiteral("Protocol");
const QString waitingText = QStringLiteral("Waitting Receive...");
// At most this often (once a second) the view follows a reception. Laying out and painting a
// block of binary data (glyphs of many scripts, font fallback) costs milliseconds, and on a slow
// line that must stay a small share of the CPU.
constexpr int receiveViewIntervalMs = 1000;

// Counts of a send keep a place for a sign: " 1024".
QString signReserving(qint64 value)
{
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

} // namespace

Form1::Form1(FileDialog& dialog, MessageService& messages, const QMap<int, QString>& devicesForRun,
             std::optional<int> portForRun, QWidget* parent)
    : QMainWindow(parent), CDialog(dialog), m_messages(messages),
      m_receiveView(receiveViewIntervalMs, [this] { refreshReceiveView(); })
{
    // The window keeps the size of its client area.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    connectControls();
    Form_Load(devicesForRun, portForRun);
}

Form1::~Form1()
{
    // Nothing may touch the port or a file once the window is going away: a send cut short here
    // must not go on from the system's queue after the program ends. A reception's file keeps
    // what was written. Nothing is shown of either any more.
    m_sender.disconnect(this);
    m_receiver.disconnect(this);
    m_modemSender.disconnect(this);
    m_modemReceiver.disconnect(this);
    m_sender.cancel();
    // The far end hears CAN CAN rather than waiting out its timeouts.
    m_modemSender.cancel();
    m_modemReceiver.cancel();
}

void Form1::connectControls()
{
    connect(m_ui.Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(m_ui.Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(m_ui.Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(m_ui.Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    for (int i = 0; i < int(m_ui.SPort.size()); ++i)
        connect(m_ui.SPort[i], &QRadioButton::clicked, this, [this, i] { SPort_Click(i); });
    for (int i = 0; i < int(m_ui.Buart.size()); ++i)
        connect(m_ui.Buart[i], &QRadioButton::clicked, this, [this, i] { Buart_Click(i); });
    connect(m_ui.mnuSendFile, &QAction::triggered, this, &Form1::Command1_Click);
    connect(m_ui.mnuReceiveFile, &QAction::triggered, this, &Form1::Command3_Click);
    // Ends the program at once, without the close handling.
    connect(m_ui.mnuExit, &QAction::triggered, this, &Form1::mnuExit_Click);
    connect(m_ui.mnuContents, &QAction::triggered, this, &Form1::mnuContents_Click);
    connect(m_ui.mnuSendOptions, &QAction::triggered, this, &Form1::mnuSendOptions_Click);
    connect(m_ui.mnuReconnect, &QAction::toggled, this, [this](bool on) {
        m_receiver.setReconnect(on);
        m_store.SaveSetting(CommSettings::section, reconnectKey,
                            on ? QStringLiteral("1") : QStringLiteral("0"));
    });
    connect(m_ui.mnuWaitForDevice, &QAction::toggled, this, [this](bool on) {
        m_store.SaveSetting(CommSettings::section, waitForDeviceKey,
                            on ? QStringLiteral("1") : QStringLiteral("0"));
    });
    connect(&m_deviceWatch, &DeviceWatch::present, this, &Form1::onDevicePresent);
    connect(&m_receiver, &FileReceiver::deviceAway, this, [this](const QString& reason) {
        m_feedback.note(TransferText::deviceAway(reason, m_receiver.path()));
    });
    connect(&m_receiver, &FileReceiver::deviceBack, this, [this](qint64 gapMs) {
        m_feedback.note(TransferText::deviceBack(MSComm1.describe(), gapMs));
    });
    for (const auto& [action, flow] :
         {std::pair{m_ui.mnuFlowNone, LineSettings::Flow::None},
          std::pair{m_ui.mnuFlowRtsCts, LineSettings::Flow::RtsCts},
          std::pair{m_ui.mnuFlowXonXoff, LineSettings::Flow::XonXoff}}) {
        connect(action, &QAction::triggered, this, [this, flow] { chooseFlow(flow); });
    }

    for (QAction* action : {m_ui.mnuProtocolRaw, m_ui.mnuProtocolXmodem, m_ui.mnuProtocolXmodem1k,
                            m_ui.mnuProtocolYmodem}) {
        const TransferProtocol protocol =
            ModemOptions::fromName(action->data().toString()).value_or(TransferProtocol::Raw);
        connect(action, &QAction::triggered, this, [this, protocol] { chooseProtocol(protocol); });
    }
    connect(&m_modemSender, &ModemSender::progressed, this, &Form1::onModemSendProgress);
    connect(&m_modemSender, &ModemSender::ended, this, &Form1::onModemSendEnded);
    connect(&m_modemReceiver, &ModemReceiver::progressed, this, &Form1::refreshModemReceiveCount);
    connect(&m_modemReceiver, &ModemReceiver::ended, this, &Form1::onModemReceiveEnded);

    connect(&m_sender, &FileSender::progressed, this, &Form1::onSendProgress);
    connect(&m_sender, &FileSender::ended, this, &Form1::onSendEnded);
    connect(&m_sender, &FileSender::warned, &m_feedback, &TransferFeedback::note);
    connect(&m_receiver, &FileReceiver::stored, &m_receiveView, &RefreshThrottle::request);
    // The count follows with the status, four times a second.
    connect(&m_feedback, &TransferFeedback::refreshed, this, [this] {
        if (m_receiver.isReceiving())
            refreshReceiveCount();
    });
    connect(&m_receiver, &FileReceiver::ended, this, &Form1::onReceiveEnded);
}

void Form1::Form_Load(const QMap<int, QString>& devicesForRun, std::optional<int> portForRun)
{
    // Start-up arrangement.
    m_ui.text1->hide();
    m_ui.ProgressBar->hide();
    m_ui.Command1->setEnabled(true);
    m_ui.Command2->hide();
    m_ui.Command3->setEnabled(true);
    m_ui.Command4->hide();

    // The port choice as it was saved. The nested clicks set the port and the labels as a
    // user's clicks would.
    CommSettings::loadDevices(m_store, &MSComm1.ports());
    MSComm1.ports().mapForRun(devicesForRun);
    MSComm1.setCommPort(portForRun.value_or(CommSettings::storedPort(m_store)));
    selectSPort(MSComm1.CommPort() - 1);
    MSComm1.setSettings(CommSettings::storedBaud(m_store));
    m_sender.setPacing(SendOptionsStore::load(m_store));
    m_ui.mnuReconnect->setChecked(
        m_store.GetSetting(CommSettings::section, reconnectKey, QString()) == QLatin1String("1"));
    m_ui.mnuWaitForDevice->setChecked(m_store.GetSetting(CommSettings::section, waitForDeviceKey,
                                                         QString()) == QLatin1String("1"));
    const QString protocolName = m_store.GetSetting(CommSettings::section, protocolKey, QString());
    m_protocol = ModemOptions::fromName(protocolName.trimmed()).value_or(TransferProtocol::Raw);
    showProtocol();
    const QString speedText = MSComm1.Settings().chopped(6);
    m_ui.Label2->setText(MSComm1.Settings());
    for (int i = 0; i < int(m_ui.Buart.size()); ++i) {
        if (m_ui.Buart[i]->text() == speedText) {
            selectBuart(i);
            break;
        }
    }
}

void Form1::Form_Unload()
{
    Command4_Click();
    CommSettings::savePort(m_store, MSComm1.CommPort());
    CommSettings::saveBaud(m_store, MSComm1.Settings());
    CommSettings::saveDevices(m_store, MSComm1.ports());
    QString error;
    if (!m_store.sync(&error))
        showError(tr("%1\nThe port and speed chosen in this run were not saved.").arg(error));
}

void Form1::closeEvent(QCloseEvent* event)
{
    if (m_sender.isRunning() || m_modemSender.isRunning())
        Command2_Click();
    Form_Unload();
    event->accept();
}

void Form1::selectSPort(int index)
{
    m_ui.SPort[index]->setChecked(true);
    SPort_Click(index);
}

void Form1::selectBuart(int index)
{
    m_ui.Buart[index]->setChecked(true);
    Buart_Click(index);
}

void Form1::SPort_Click(int index)
{
    MSComm1.setCommPort(index == 0 ? 1 : 2);
    m_ui.Label1->setText(QString::number(MSComm1.CommPort()));
    m_devices.refresh();
    // Each port keeps its own flow control: the devices behind them differ.
    if (!MSComm1.PortOpen())
        MSComm1.setFlowControl(CommSettings::storedFlow(m_store, MSComm1.CommPort()));
    showFlow();
}

void Form1::mnuSendOptions_Click()
{
    SendPacing pacing = m_sender.pacing();
    if (!m_sendOptions->edit(this, &pacing))
        return;
    m_sender.setPacing(pacing);
    SendOptionsStore::save(m_store, pacing);
}

void Form1::chooseFlow(LineSettings::Flow flow)
{
    QString error;
    if (!MSComm1.setFlowControl(flow, &error))
        showError(error);
    else
        CommSettings::saveFlow(m_store, MSComm1.CommPort(), flow);
    showFlow();
}

void Form1::showFlow()
{
    const LineSettings::Flow flow = MSComm1.flowControl();
    m_ui.mnuFlowNone->setChecked(flow == LineSettings::Flow::None);
    m_ui.mnuFlowRtsCts->setChecked(flow == LineSettings::Flow::RtsCts);
    m_ui.mnuFlowXonXoff->setChecked(flow == LineSettings::Flow::XonXoff);
}

void Form1::chooseProtocol(TransferProtocol protocol)
{
    // A transfer that runs keeps its protocol; the choice is for the next one.
    m_protocol = protocol;
    m_store.SaveSetting(CommSettings::section, protocolKey, ModemOptions::name(protocol));
    showProtocol();
}

void Form1::showProtocol()
{
    for (QAction* action : {m_ui.mnuProtocolRaw, m_ui.mnuProtocolXmodem, m_ui.mnuProtocolXmodem1k,
                            m_ui.mnuProtocolYmodem})
        action->setChecked(action->data().toString() == ModemOptions::name(m_protocol));
    m_ui.protocolLabel->setText(ModemOptions::title(m_protocol));
}

void Form1::Buart_Click(int index)
{
    if (m_ui.Buart[index]->isChecked())
        MSComm1.setSettings(LineSettings::plain(Form1Ui::speeds[index].speed));
    m_ui.Label2->setText(MSComm1.Settings());
}

void Form1::Command1_Click()
{
    if (CDialog.ShowOpen(this))
        sendFile(CDialog.FileName());
}

bool Form1::waitForDevice(std::function<void()> start, bool sending)
{
    // A transfer already waiting keeps the wait (the menu or a drop may ask for another).
    if (m_afterDevice) {
        showError(tr("%1 is still awaited for another transfer; give up that wait first.")
                      .arg(MSComm1.describe()));
        return true;
    }
    if (!m_ui.mnuWaitForDevice->isChecked() || MSComm1.PortOpen() ||
        QFileInfo::exists(MSComm1.device()))
        return false;
    m_afterDevice = std::move(start);
    m_deviceWatch.watch({MSComm1.device()});
    m_feedback.ended(TransferText::waitingForDevice(MSComm1.describe()));
    (sending ? m_ui.Command2 : m_ui.Command4)->show();
    m_ui.Command1->setEnabled(false);
    m_ui.Command3->setEnabled(false);
    m_ui.Frame1->setEnabled(false);
    m_ui.Frame2->setEnabled(false);
    return true;
}

void Form1::onDevicePresent()
{
    // A device just plugged in may not let this user in at once; the next look tries again.
    QString ignored;
    if (!m_afterDevice || !MSComm1.setPortOpen(true, &ignored))
        return;
    MSComm1.setPortOpen(false);
    const std::function<void()> start = std::exchange(m_afterDevice, nullptr);
    stopWaitingForDevice();
    start();
}

void Form1::stopWaitingForDevice()
{
    m_deviceWatch.stop();
    m_afterDevice = nullptr;
    m_feedback.ended(QString());
    endSend();
    showReceiveIdle();
}

void Form1::sendFile(const QString& path)
{
    if (refuseWhilePortBusy(path, false))
        return;
    if (waitForDevice([this, path] { sendFile(path); }, true))
        return;
    if (m_protocol != TransferProtocol::Raw) {
        sendWithProtocol(path);
        return;
    }
    QString error;
    switch (m_sender.start(path, &error)) {
    case FileSender::Start::PortRefused:
        showError(error);
        return;
    case FileSender::Start::FileRefused:
        // The attempt shows, as for a send that ends at once.
        showSending(path);
        endSend();
        showError(error);
        return;
    case FileSender::Start::Started:
        break;
    }
    showSendStarted(path, m_sender.length(), m_sender.report());
    onSendProgress();
}

void Form1::showSendStarted(const QString& path, qint64 length, const TransferReport& report)
{
    showSending(path);
    m_ui.Label5->setText(tr("Sum:") + signReserving(length));
    setProgressRange(length);
    m_feedback.started(report);
    m_ui.Command1->setEnabled(false);
    m_ui.Command2->show();
    m_ui.Frame1->setEnabled(false);
    m_ui.Frame2->setEnabled(false);
    m_ui.Command3->setEnabled(false);
}

void Form1::showSending(const QString& path)
{
    m_ui.Label6->setText(tr("Open File:"));
    m_ui.Label3->setText(path);
    m_ui.text1->show();
    loadFileIntoView(path);
    m_ui.ProgressBar->show();
    m_ui.Label4->show();
    m_ui.Label5->show();
    m_ui.Label7->hide();
}

void Form1::Command2_Click()
{
    if (m_afterDevice) {
        stopWaitingForDevice();
        return;
    }
    if (m_modemSender.isRunning()) {
        m_modemSender.cancel();
        return;
    }
    // A cancel silences the line at once: what is still queued is thrown away.
    m_sender.cancel();
}

void Form1::endSend()
{
    m_ui.Command1->setEnabled(true);
    m_ui.Command2->hide();
    m_ui.Frame1->setEnabled(true);
    m_ui.Frame2->setEnabled(true);
    m_ui.Command3->setEnabled(true);
    m_ui.ProgressBar->hide();
    m_ui.Label4->hide();
    m_ui.Label5->hide();
}

void Form1::setProgressRange(qint64 length)
{
    if (length <= 0)
        return; // an empty range would turn the bar into a busy indicator
    m_progressShift = 0;
    while ((length >> m_progressShift) > INT_MAX)
        ++m_progressShift;
    m_ui.ProgressBar->setRange(0, static_cast<int>(length >> m_progressShift));
}

void Form1::onSendProgress()
{
    // The bytes that have left the line, as the port tells them.
    showSendCount(m_sender.report().count());
}

void Form1::showSendCount(qint64 count)
{
    m_ui.Label4->setText(signReserving(count));
    m_ui.ProgressBar->setValue(static_cast<int>(count >> m_progressShift));
}

void Form1::onSendEnded(const FileSender::Outcome& outcome)
{
    switch (outcome.ending) {
    case FileSender::Ending::Finished:
        m_feedback.ended(TransferText::summary(m_sender.report()));
        break;
    case FileSender::Ending::Cancelled:
        m_feedback.ended(outcome.message);
        break;
    case FileSender::Ending::SourceFailed:
    case FileSender::Ending::DeviceLost:
    case FileSender::Ending::NoAnswer:
        // The message says everything; the status says nothing of a send cut short.
        m_feedback.ended(QString());
        break;
    }
    endSend();
    if (outcome.ending != FileSender::Ending::Finished &&
        outcome.ending != FileSender::Ending::Cancelled)
        showError(outcome.message);
}

void Form1::Command3_Click()
{
    if (!CDialog.ShowSave(this))
        return;
    const QString path = CDialog.FileName();
    if (refuseWhilePortBusy(path, false))
        return;
    if (m_sender.isRunning()) {
        showError(tr("Cannot receive into \"%1\": %2 is busy sending a file.")
                      .arg(path, MSComm1.describe()));
        return;
    }
    if (!waitForDevice([this, path] { receiveInto(path); }, false))
        receiveInto(path);
}

void Form1::receiveInto(const QString& path)
{
    if (m_protocol != TransferProtocol::Raw) {
        receiveWithProtocol(path);
        return;
    }
    m_ui.Label6->setText(tr(" Save File:"));
    auto target = std::make_unique<ReceiveTarget>();
    QString error;
    if (!target->open(path, &error)) {
        showError(error);
        return;
    }
    if (target->holdsData() &&
        !m_messages.askOkCancel(this, tr("OverFile"), tr("OverFile:") + path + QLatin1Char('?')))
        return; // the file is closed as it was
    if (!m_receiver.start(std::move(target), &error)) {
        // A reception that was running has handed over its file already.
        if (!m_receiver.isReceiving())
            showReceiveIdle();
        showError(error);
        return;
    }
    m_feedback.started(m_receiver.report());

    m_ui.Label3->setText(path);
    m_ui.Command3->setEnabled(false);
    m_ui.Command4->show();
    m_ui.Frame1->setEnabled(false);
    m_ui.Frame2->setEnabled(false);
    m_ui.Command1->setEnabled(false);
    m_ui.text1->show();
    m_ui.Label7->show();
    m_ui.ProgressBar->hide();
    m_receiveView.cancel();
    refreshReceiveCount();
    m_data.showMessage(waitingText);
}

void Form1::refreshReceiveCount()
{
    m_ui.Label7->setText(QString::number(m_receiver.report().count()));
}

void Form1::refreshReceiveView()
{
    const qint64 count = m_receiver.report().count();
    const QByteArray block = m_receiver.lastBlock();
    m_data.show(TextPreview::fromBytes(block, count - block.size(), m_receiver.isReceiving()));
}

void Form1::Command4_Click()
{
    if (m_afterDevice) {
        stopWaitingForDevice();
        return;
    }
    // CAN CAN ends the sender's side too; the file keeps the blocks stored.
    m_modemReceiver.cancel();
    if (m_receiver.isReceiving()) {
        // The file that was really received into, whatever the dialog shows by now.
        const QString path = m_receiver.path();
        m_receiver.stop();
        loadFileIntoView(path);
    }
    showReceiveIdle();
}

void Form1::showReceiveIdle()
{
    if (m_ui.text1->toPlainText() == waitingText)
        m_data.showMessage(QString());
    m_ui.Command3->setEnabled(true);
    m_ui.Command4->hide();
    m_ui.Frame1->setEnabled(true);
    m_ui.Frame2->setEnabled(true);
    m_ui.Command1->setEnabled(true);
}

void Form1::onReceiveEnded(const FileReceiver::Outcome& outcome)
{
    m_receiveView.flush();
    refreshReceiveCount();
    // However the reception ended, the file holds what was stored.
    QString summary = TransferText::summary(m_receiver.report());
    if (outcome.gaps > 0)
        summary += QLatin1Char('\n') + TransferText::gaps(outcome.gaps, outcome.gapMs).mid(2);
    m_feedback.ended(summary);
    // A new reception took over: it arranges the window itself.
    if (outcome.ending == FileReceiver::Ending::HandedOver)
        return;
    showReceiveIdle();
    if (!outcome.ok())
        showError(outcome.message);
}

bool Form1::refuseWhilePortBusy(const QString& path, bool rawToo)
{
    const bool busy = m_modemSender.isRunning() || m_modemReceiver.isRunning() ||
                      (rawToo && (m_sender.isRunning() || m_receiver.isReceiving()));
    if (busy) {
        showError(tr("\"%1\" was not started: %2 is busy with another transfer; end that first.")
                      .arg(path, MSComm1.describe()));
    }
    return busy;
}

void Form1::sendWithProtocol(const QString& path)
{
    if (refuseWhilePortBusy(path, true))
        return;
    ModemOptions options;
    options.protocol = m_protocol;
    QString error;
    switch (m_modemSender.start(path, options, &error)) {
    case ModemSender::Start::PortRefused:
        showError(error);
        return;
    case ModemSender::Start::FileRefused:
        showSending(path);
        endSend();
        showError(error);
        return;
    case ModemSender::Start::Started:
        break;
    }
    showSendStarted(path, m_modemSender.length(), m_modemSender.report());
    onModemSendProgress();
}

void Form1::onModemSendProgress()
{
    // The file's bytes in blocks the receiver acknowledged.
    showSendCount(m_modemSender.report().count());
}

void Form1::onModemSendEnded(const ModemSender::Outcome& outcome)
{
    const bool finished = outcome.ending == ModemSender::Ending::Finished;
    // A send cut short says so, in the status as in the message; it is no summary of a file sent.
    m_feedback.ended(finished ? TransferText::summary(m_modemSender.report()) : outcome.message);
    endSend();
    if (!finished)
        showError(outcome.message);
}

void Form1::receiveWithProtocol(const QString& path)
{
    if (refuseWhilePortBusy(path, true))
        return;
    m_ui.Label6->setText(tr(" Save File:"));
    // The question as for a raw reception; the receiver itself empties the file only at the
    // first block, so a transfer that never begins leaves it as it was.
    {
        ReceiveTarget probe;
        QString error;
        if (!probe.open(path, &error)) {
            showError(error);
            return;
        }
        const bool holdsData = probe.holdsData();
        probe.giveBack();
        if (holdsData && !m_messages.askOkCancel(this, tr("OverFile"),
                                                 tr("OverFile:") + path + QLatin1Char('?')))
            return;
    }
    ModemOptions options;
    options.protocol = m_protocol;
    QString error;
    // YMODEM's first file goes into the chosen file, whatever name the sender gives it.
    if (!m_modemReceiver.start(path, options, true, &error)) {
        showError(error);
        return;
    }
    m_feedback.started(m_modemReceiver.report());

    m_ui.Label3->setText(path);
    m_ui.Command3->setEnabled(false);
    m_ui.Command4->show();
    m_ui.Frame1->setEnabled(false);
    m_ui.Frame2->setEnabled(false);
    m_ui.Command1->setEnabled(false);
    m_ui.text1->show();
    m_ui.Label7->show();
    m_ui.ProgressBar->hide();
    m_receiveView.cancel();
    refreshModemReceiveCount();
    m_data.showMessage(waitingText);
}

void Form1::refreshModemReceiveCount()
{
    // The bytes of the blocks stored in the file.
    m_ui.Label7->setText(QString::number(m_modemReceiver.report().count()));
}

void Form1::onModemReceiveEnded(const ModemReceiver::Outcome& outcome)
{
    refreshModemReceiveCount();
    // The file holds what was stored, however the transfer ended.
    m_feedback.ended(TransferText::summary(m_modemReceiver.report()));
    if (!m_modemReceiver.currentFile().isEmpty())
        loadFileIntoView(m_modemReceiver.currentFile());
    showReceiveIdle();
    if (!outcome.ok())
        showError(outcome.message);
}

void Form1::showError(const QString& text)
{
    m_messages.showError(this, windowTitle(), text);
}

void Form1::loadFileIntoView(const QString& path)
{
    TextPreview::Preview preview;
    if (TextPreview::fromFile(path, &preview, nullptr))
        m_data.show(preview);
}

void Form1::mnuContents_Click()
{
    const QString path =
        HelpViewer::helpFilePath(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    m_help->showContents(this, path, [this, path] { showOwnHelp(path); });
}

void Form1::showOwnHelp(const QString& lookedUpPath)
{
    if (!m_helpWindow)
        m_helpWindow = new HelpWindow(this);
    m_helpWindow->setLookedUpPath(lookedUpPath);
    m_helpWindow->show();
    m_helpWindow->raise();
    m_helpWindow->activateWindow();
}

void Form1::mnuExit_Click()
{
    // Ends at once, with no question and without saving the port choice. A send stops; a
    // reception keeps every byte that arrived, including what still waits in the port.
    if (m_sender.isRunning() || m_modemSender.isRunning())
        Command2_Click();
    m_modemReceiver.cancel();
    m_receiver.stop();
    QCoreApplication::exit(0);
}
