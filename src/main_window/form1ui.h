#pragma once

#include <QList>
#include <QString>

#include <array>

class QAbstractButton;
class QAction;
class QGroupBox;
class QLabel;
class QMainWindow;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QWidget;
class FittingLabel;

// The window's controls as a form designer would lay them out: every control with its name,
// caption, place and size (in twips, at the screen's resolution), font, colour and tab order, the
// menus, and the status bar below the client area. No behaviour: the window connects what the
// controls do.
class Form1Ui
{
public:
    struct Speed
    {
        qint32 speed;
        int tabIndex;
    };
    // The speed buttons, in the order of the Buart group.
    static constexpr std::array<Speed, 8> speeds{{
        {1200, 5},
        {2400, 6},
        {4800, 7},
        {9600, 8},
        {19200, 19},
        {38400, 9},
        {57600, 10},
        {115200, 11},
    }};
    // The client area, in twips.
    static constexpr int clientWidth = 9660;
    static constexpr int clientHeight = 6720;

    explicit Form1Ui(QMainWindow* form) { setupUi(form); }

    // Builds the controls and menus on `form`, which owns them from then on.
    void setupUi(QMainWindow* form);
    // Twips to device-independent pixels at the form's screen resolution.
    int twips(int value) const;
    // The option groups: SPort, Buart.
    QList<QAbstractButton*> portButtons() const;
    QList<QAbstractButton*> speedButtons() const;

    QWidget* client = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command3 = nullptr;
    QPushButton* Command4 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    std::array<QRadioButton*, 2> SPort{};
    std::array<QRadioButton*, speeds.size()> Buart{};
    FittingLabel* Label1 = nullptr;
    FittingLabel* Label2 = nullptr;
    FittingLabel* Label3 = nullptr;
    FittingLabel* Label4 = nullptr;
    FittingLabel* Label5 = nullptr;
    FittingLabel* Label6 = nullptr;
    FittingLabel* Label7 = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QPlainTextEdit* text1 = nullptr;

    QMenu* mnuFile = nullptr;
    QAction* mnuSendFile = nullptr;
    QAction* mnuReceiveFile = nullptr;
    QAction* mnuNull = nullptr;
    QAction* mnuExit = nullptr;
    // The line's options beyond the speed: flow control, kept per port.
    QMenu* mnuLine = nullptr;
    QMenu* mnuFlow = nullptr;
    QAction* mnuFlowNone = nullptr;
    QAction* mnuFlowRtsCts = nullptr;
    QAction* mnuFlowXonXoff = nullptr;
    QAction* mnuSendOptions = nullptr;
    QAction* mnuReconnect = nullptr;
    QAction* mnuWaitForDevice = nullptr;
    // How files go over the line: raw, XMODEM, XMODEM-1K or YMODEM. Each action's data is the
    // protocol's stored name.
    QMenu* mnuProtocol = nullptr;
    QAction* mnuProtocolRaw = nullptr;
    QAction* mnuProtocolXmodem = nullptr;
    QAction* mnuProtocolXmodem1k = nullptr;
    QAction* mnuProtocolYmodem = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuContents = nullptr;

    // How a transfer goes, or how the last one went, with the checksum below; and the device the
    // selected port stands for.
    QStatusBar* statusBar = nullptr;
    QLabel* transferStatus = nullptr;
    QLabel* transferDetail = nullptr;
    // The protocol the next transfer uses.
    QLabel* protocolLabel = nullptr;
    QPushButton* portDevice = nullptr;

private:
    void createMenus(QMainWindow* form);
    void createControls();
    void createViewAndBar();
    void createFrames();
    void createStatusBar(QMainWindow* form);
    // Names the control and puts it where the layout says, in twips.
    void place(QWidget* widget, const QString& name, int left, int top, int width,
               int height) const;
    void arrangeTabOrder();

    QMainWindow* m_form = nullptr;
};
