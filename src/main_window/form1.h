#pragma once

#include "main_window/commsettings.h"
#include "platform/qthelpviewer.h"
#include "platform/serialport.h"
#include "platform/settingsstore.h"
#include "transfer/filereceiver.h"
#include "transfer/filesender.h"
#include "transfer/filetable.h"

#include <QDir>
#include <QMainWindow>
#include <QMap>
#include <QTimer>

#include <array>

class FileDialog;
class HelpViewer;
class HelpWindow;
class MessageService;
class QAction;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

// The program's one window: the transfer buttons, the port and speed choice, the counts, the
// progress bar and the text view. Controls carry their names as object names, so tests and
// tools can find them.
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    explicit Form1(FileDialog& dialog, MessageService& messages, QWidget* parent = nullptr);
    ~Form1() override;

    SerialPort& serialPort() { return MSComm1; }
    bool isSending() const { return m_sender.isRunning(); }
    bool isReceiving() const { return m_receiver.isReceiving(); }
    qint64 ReceivedCount() const { return m_receiver.ReceivedCount(); }

    // Twips to device-independent pixels at this window's screen resolution.
    int twips(int value) const;

    // Tests stand in for the platform's help viewer.
    void setHelpViewer(HelpViewer& viewer) { m_help = &viewer; }
    // The help file in `folder`: one separator between them, none added after a folder that
    // already ends in one (a drive root).
    static QString helpFilePath(const QString& folder, QChar separator = QDir::separator());

    // The click handlers, also reached through the menu.
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void mnuContents_Click();
    void mnuExit_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createMenus();
    void arrangeTabOrder();
    void Form_Load();
    // Stops a reception, then saves the port choice.
    void Form_Unload();
    // Without the help file or anything to show it, the program explains itself.
    void showOwnHelp(const QString& lookedUpPath);
    void SPort_Click(int index);
    void Buart_Click(int index);
    void selectSPort(int index);
    void selectBuart(int index);

    // Closes the file and the port and shows the idle arrangement.
    void endSend();
    void onSendProgress(qint64 sent);
    void onSendFailed(const QString& reason);
    void onDeviceLost(const QString& reason);
    void onReceiveFailed(const QString& reason);
    void onBlockReceived();
    void refreshReceiveView();
    // Brings the count and the view up to date at once, whatever the refresh rate allows.
    void showLatestReceived();
    // Clears a view still waiting for data and gives the controls back.
    void showReceiveIdle();
    void showError(const QString& text);
    // Shows a bounded preview of the file; on failure the view keeps what it showed.
    bool loadFileIntoView(const QString& path);
    void setProgressRange(qint64 length);

    FileDialog& CDialog;
    MessageService& m_messages;
    QtHelpViewer m_platformHelp;
    HelpViewer* m_help = &m_platformHelp;
    HelpWindow* m_helpWindow = nullptr;
    SettingsStore m_store{CommSettings::application};
    // The devices the store names, kept apart from what the command line maps for one run.
    QMap<int, QString> m_storedDevices;

    SerialPort MSComm1;
    FileTable Files;
    FileSender m_sender{MSComm1, Files};
    FileReceiver m_receiver{MSComm1, Files};
    // Received data is shown at a bounded rate, so a fast line never stalls the window.
    QTimer m_receiveViewTimer;
    bool m_receiveViewStale = false;

    // Window-level state.
    qint16 SendFileNumber = 0;
    int m_progressShift = 0;

    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command3 = nullptr;
    QPushButton* Command4 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    std::array<QRadioButton*, 2> SPort{};
    std::array<QRadioButton*, 8> Buart{};
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QPlainTextEdit* text1 = nullptr;

    QAction* mnuSendFile = nullptr;
    QAction* mnuReceiveFile = nullptr;
    QAction* mnuExit = nullptr;
    QAction* mnuContents = nullptr;
};
