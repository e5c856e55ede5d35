#pragma once

#include "main_window/dataview.h"
#include "main_window/deviceassignment.h"
#include "main_window/filedroptarget.h"
#include "main_window/form1ui.h"
#include "main_window/optiongrouptabstop.h"
#include "main_window/qthelpviewer.h"
#include "main_window/qtsendoptionseditor.h"
#include "main_window/refreshthrottle.h"
#include "main_window/transferfeedback.h"
#include "platform/commsettings.h"
#include "platform/devicewatch.h"
#include "platform/serialport.h"
#include "platform/settingsstore.h"
#include "transfer/filereceiver.h"
#include "transfer/filesender.h"
#include "transfer/modemoptions.h"
#include "transfer/modemreceiver.h"
#include "transfer/modemsender.h"

#include <QMainWindow>
#include <QMap>

#include <functional>
#include <optional>

class DeviceChooser;
class FileDialog;
class HelpViewer;
class HelpWindow;
class MessageService;

// The program's one window: the transfer buttons, the port and speed choice, the counts, the
// progress bar and the text view. It turns what the user does into transfers, and what the
// transfers report into captions, progress and messages. Controls carry their names as object
// names, so tests and tools can find them.
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    // `devicesForRun` maps port numbers to devices for this run only (the command line's --com1
    // and --com2); they are never stored. `portForRun` is selected at the start instead of the
    // stored port, and is stored only by a close, as the user's own choice would be.
    explicit Form1(FileDialog& dialog, MessageService& messages,
                   const QMap<int, QString>& devicesForRun = {},
                   std::optional<int> portForRun = std::nullopt, QWidget* parent = nullptr);
    ~Form1() override;

    // Tests stand in for the platform's help viewer and device dialog.
    void setHelpViewer(HelpViewer& viewer) { m_help = &viewer; }
    void setDeviceChooser(DeviceChooser& chooser) { m_devices.setChooser(chooser); }
    void setSendOptionsEditor(SendOptionsEditor& editor) { m_sendOptions = &editor; }

    // The click handlers, also reached through the menu.
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void mnuContents_Click();
    // "Send options": the pacing of the sends from now on, stored at once.
    void mnuSendOptions_Click();
    void mnuExit_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void connectControls();
    void Form_Load(const QMap<int, QString>& devicesForRun, std::optional<int> portForRun);
    // Stops a reception, then saves the port choice.
    void Form_Unload();
    void SPort_Click(int index);
    void Buart_Click(int index);
    void selectSPort(int index);
    void selectBuart(int index);
    // The flow control menu: the port's choice, stored for the port number.
    void chooseFlow(LineSettings::Flow flow);
    void showFlow();
    // The protocol menu: the next transfer's protocol, stored at once and shown in the status.
    void chooseProtocol(TransferProtocol protocol);
    void showProtocol();

    // Sends the file the user picked or dropped on the window.
    void sendFile(const QString& path);
    void receiveInto(const QString& path);
    // With "Wait for an Absent Device" on and the device absent: shows the wait, with the
    // button that stops the transfer (`sending` or not) to give up, and runs `start` once the
    // device can be opened. False when there is nothing to wait for.
    bool waitForDevice(std::function<void()> start, bool sending);
    void onDevicePresent();
    void stopWaitingForDevice();
    void showSending(const QString& path);
    // The idle arrangement after a send, however it ended.
    void endSend();
    void onSendProgress();
    void showSendCount(qint64 count);
    void onSendEnded(const FileSender::Outcome& outcome);
    // The same for XMODEM, XMODEM-1K and YMODEM, whose counts follow acknowledged blocks.
    void sendWithProtocol(const QString& path);
    // The window during a send that has begun, raw or by a protocol.
    void showSendStarted(const QString& path, qint64 length, const TransferReport& report);
    void onModemSendProgress();
    void onModemSendEnded(const ModemSender::Outcome& outcome);
    void receiveWithProtocol(const QString& path);
    void onModemReceiveEnded(const ModemReceiver::Outcome& outcome);
    void refreshModemReceiveCount();
    // A protocol transfer (or with `rawToo` any transfer) holds the port: nothing else may start
    // on it. True, and the user is told, when one does.
    bool refuseWhilePortBusy(const QString& path, bool rawToo);

    // However a reception ends (the Stop button, the window's close, Exit, a failure), the file
    // keeps every byte and the window shows how it went.
    void onReceiveEnded(const FileReceiver::Outcome& outcome);
    void refreshReceiveView();
    void refreshReceiveCount();
    // Clears a view still waiting for data and gives the controls back.
    void showReceiveIdle();

    // Without the help file or anything to show it, the program explains itself.
    void showOwnHelp(const QString& lookedUpPath);
    void showError(const QString& text);
    // Shows a bounded preview of the file; on failure the view keeps what it showed.
    void loadFileIntoView(const QString& path);
    void setProgressRange(qint64 length);

    Form1Ui m_ui{this};
    FileDialog& CDialog;
    MessageService& m_messages;
    QtHelpViewer m_platformHelp;
    HelpViewer* m_help = &m_platformHelp;
    HelpWindow* m_helpWindow = nullptr;
    SettingsStore m_store{CommSettings::application};
    QtSendOptionsEditor m_platformSendOptions;
    SendOptionsEditor* m_sendOptions = &m_platformSendOptions;

    SerialPort MSComm1;
    // Children, so that tools and tests find them.
    FileSender m_sender{MSComm1, this};
    FileReceiver m_receiver{MSComm1, this};
    ModemSender m_modemSender{MSComm1, this};
    ModemReceiver m_modemReceiver{MSComm1, this};
    TransferProtocol m_protocol = TransferProtocol::Raw;
    // Received data is shown at a bounded rate, so a fast line never stalls the window.
    RefreshThrottle m_receiveView;
    DataView m_data{*m_ui.text1};
    TransferFeedback m_feedback{*m_ui.transferStatus, *m_ui.transferDetail};
    DeviceAssignment m_devices{MSComm1, m_store, m_messages, *m_ui.portDevice, *m_ui.Frame1, *this};
    OptionGroupTabStop m_portTabStop{m_ui.portButtons()};
    OptionGroupTabStop m_speedTabStop{m_ui.speedButtons()};
    FileDropTarget m_drop{*this, [this](const QString& path) { sendFile(path); }};
    DeviceWatch m_deviceWatch;
    // What starts once the device is there; empty while nothing waits for it.
    std::function<void()> m_afterDevice;
    // The progress bar counts in int; long files are counted in units of 2^shift bytes.
    int m_progressShift = 0;
};
