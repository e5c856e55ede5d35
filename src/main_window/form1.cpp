#include "main_window/form1.h"

#include "main_window/commsettings.h"
#include "main_window/helpwindow.h"
#include "platform/filedialog.h"
#include "platform/messageservice.h"
#include "transfer/textpreview.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

namespace {

const QString windowCaption = QStringLiteral("Marlune DownLoad File And Bckup File");
const QString waitingText = QStringLiteral("Waitting Receive...");
// At most this often (twice a second) the count and the view follow a reception. Laying out and
// painting a block of binary data (glyphs of many scripts, font fallback) costs milliseconds, and
// on a slow line that must stay a small share of the CPU.
constexpr int receiveViewIntervalMs = 500;

// The client area, in twips.
constexpr int clientWidth = 9660;
constexpr int clientHeight = 6720;

struct Speed
{
    const char* caption;
    const char* settings;
    int tabIndex;
};

constexpr std::array<Speed, 8> speeds{{
    {"1200", "1200,N,8,1", 5},
    {"2400", "2400,N,8,1", 6},
    {"4800", "4800,N,8,1", 7},
    {"9600", "9600,N,8,1", 8},
    {"19200", "19200,N,8,1", 19},
    {"38400", "38400,N,8,1", 9},
    {"57600", "57600,N,8,1", 10},
    {"115200", "115200,N,8,1", 11},
}};

// Counts of a send keep a place for a sign: " 1024".
QString signReserving(qint64 value)
{
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

QFont msSansSerif(qreal points)
{
    // Where the face itself is missing, a sans serif of the same width keeps the captions
    // inside their labels.
    static const bool substituted = [] {
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"),
                                    QStringLiteral("Liberation Sans"),
                                    QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica")});
        return true;
    }();
    Q_UNUSED(substituted);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(points);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

} // namespace

Form1::Form1(FileDialog& dialog, MessageService& messages, QWidget* parent)
    : QMainWindow(parent), CDialog(dialog), m_messages(messages)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(windowCaption);
    createMenus();
    createControls();
    arrangeTabOrder();
    // The window keeps the size of its client area.
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    connect(&m_sender, &FileSender::progress, this, &Form1::onSendProgress);
    connect(&m_sender, &FileSender::finished, this, &Form1::endSend);
    connect(&m_sender, &FileSender::failed, this, &Form1::onSendFailed);
    connect(&MSComm1, &SerialPort::deviceLost, this, &Form1::onDeviceLost);
    connect(&m_receiver, &FileReceiver::blockReceived, this, &Form1::onBlockReceived);
    connect(&m_receiver, &FileReceiver::failed, this, &Form1::onReceiveFailed);
    m_receiveViewTimer.setSingleShot(true);
    m_receiveViewTimer.setInterval(receiveViewIntervalMs);
    connect(&m_receiveViewTimer, &QTimer::timeout, this, [this] {
        if (!m_receiveViewStale)
            return;
        refreshReceiveView();
        // Blocks keep coming: the next refresh waits its turn too.
        m_receiveViewTimer.start();
    });

    Form_Load();
}

Form1::~Form1()
{
    // Nothing may touch the port or a file once the window is going away.
    m_sender.stop();
    Files.close(SendFileNumber);
    // A send cut short here must not go on from the system's queue after the program ends.
    MSComm1.discardOutput();
    MSComm1.setPortOpen(false);
    // The receive file, if any, is closed by the file table with whatever was written.
}

int Form1::twips(int value) const
{
    // 15 twips to the pixel at 96 dots per inch, scaled to the screen's logical resolution.
    return qRound(value / 15.0 * logicalDpiX() / 96.0);
}

void Form1::createMenus()
{
    QMenu* mnuFile = menuBar()->addMenu(tr("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuSendFile = mnuFile->addAction(tr("&Send File"));
    mnuSendFile->setObjectName(QStringLiteral("mnuSendFile"));
    mnuReceiveFile = mnuFile->addAction(tr("&Receive File"));
    mnuReceiveFile->setObjectName(QStringLiteral("mnuReceiveFile"));
    QAction* mnuNull = mnuFile->addSeparator();
    mnuNull->setObjectName(QStringLiteral("mnuNull"));
    mnuExit = mnuFile->addAction(tr("&Exit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));

    QMenu* mnuHelp = menuBar()->addMenu(tr("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuContents = mnuHelp->addAction(tr("&Baud Set"));
    mnuContents->setObjectName(QStringLiteral("mnuContents"));

    connect(mnuSendFile, &QAction::triggered, this, &Form1::Command1_Click);
    connect(mnuReceiveFile, &QAction::triggered, this, &Form1::Command3_Click);
    // Ends the program at once, without the close handling.
    connect(mnuExit, &QAction::triggered, this, &Form1::mnuExit_Click);
    connect(mnuContents, &QAction::triggered, this, &Form1::mnuContents_Click);
}

void Form1::createControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(twips(clientWidth), twips(clientHeight));
    setCentralWidget(client);

    const auto place = [this](QWidget* widget, const char* name, int left, int top, int width,
                              int height) {
        widget->setObjectName(QLatin1String(name));
        widget->setGeometry(twips(left), twips(top), twips(width), twips(height));
    };
    const auto button = [&](const char* name, const QString& caption, int top) {
        auto* b = new QPushButton(caption, client);
        place(b, name, 240, top, 1455, 615);
        return b;
    };
    const auto label = [&](const char* name, int left, int top, int width, int height) {
        auto* l = new QLabel(client);
        place(l, name, left, top, width, height);
        l->setTextFormat(Qt::PlainText);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->setAutoFillBackground(true);
        return l;
    };

    Command1 = button("Command1", tr("Send File"), 1920);
    Command2 = button("Command2", tr("Send Cancel"), 2640);
    Command3 = button("Command3", tr("Receive File"), 3840);
    Command4 = button("Command4", tr("Stop Receive "), 4440);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);

    Label6 = label("Label6", 0, 360, 1095, 375);
    Label6->setFont(msSansSerif(12));
    Label3 = label("Label3", 1320, 360, 8175, 375);
    Label3->setFont(msSansSerif(12));
    Label5 = label("Label5", 240, 840, 1575, 375);
    Label5->setFont(msSansSerif(9.75));
    Label4 = label("Label4", 8040, 840, 1215, 375);
    Label4->setFont(msSansSerif(9.75));
    for (auto [l, colour] : {std::pair{Label5, QColor(0, 0, 255)}, {Label4, QColor(255, 0, 0)}}) {
        QPalette palette = l->palette();
        palette.setColor(QPalette::WindowText, colour);
        l->setPalette(palette);
    }
    Label7 = label("Label7", 120, 5280, 1575, 615);
    Label1 = label("Label1", 8160, 2880, 1215, 255);
    Label1->setText(QStringLiteral("1"));
    Label2 = label("Label2", 8160, 5760, 1215, 255);
    Label2->setText(QStringLiteral("9600,n,8,1"));

    ProgressBar = new QProgressBar(client);
    place(ProgressBar, "ProgressBar", 2040, 840, 5895, 375);
    ProgressBar->setTextVisible(false);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);

    text1 = new QPlainTextEdit(client);
    place(text1, "text1", 1800, 1560, 6255, 4935);
    text1->setReadOnly(true);
    text1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text1->setUndoRedoEnabled(false);

    Frame1 = new QGroupBox(tr("Serial Port"), client);
    place(Frame1, "Frame1", 8160, 1560, 1215, 1215);
    for (int i = 0; i < 2; ++i) {
        SPort[i] = new QRadioButton(QStringLiteral("COM%1").arg(i + 1), Frame1);
        place(SPort[i], "", 120, 360 + 360 * i, 855, 375);
        SPort[i]->setObjectName(QStringLiteral("SPort%1").arg(i));
        connect(SPort[i], &QRadioButton::clicked, this, [this, i] { SPort_Click(i); });
    }

    Frame2 = new QGroupBox(tr("Baud"), client);
    place(Frame2, "Frame2", 8160, 3240, 1215, 2415);
    for (int i = 0; i < int(speeds.size()); ++i) {
        Buart[i] = new QRadioButton(QLatin1String(speeds[i].caption), Frame2);
        place(Buart[i], "", 120, 240 + 240 * i, 975, 255);
        Buart[i]->setObjectName(QStringLiteral("Buart%1").arg(i));
        connect(Buart[i], &QRadioButton::clicked, this, [this, i] { Buart_Click(i); });
    }
    SPort[1]->setChecked(true);
    Buart[3]->setChecked(true);
}

void Form1::arrangeTabOrder()
{
    std::vector<std::pair<int, QWidget*>> order{
        {0, Command1},  {2, SPort[0]},  {3, SPort[1]}, {16, Command2},
        {20, Command3}, {21, Command4}, {24, text1},
    };
    for (int i = 0; i < int(speeds.size()); ++i)
        order.emplace_back(speeds[i].tabIndex, Buart[i]);
    std::sort(order.begin(), order.end());
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1].second, order[i].second);
}

void Form1::Form_Load()
{
    // Start-up arrangement.
    text1->hide();
    ProgressBar->hide();
    Command1->setEnabled(true);
    Command2->hide();
    Command3->setEnabled(true);
    Command4->hide();

    // The port choice as it was saved. The nested clicks set the port and the labels as a
    // user's clicks would.
    m_storedDevices = CommSettings::storedDevices(m_store);
    for (auto it = m_storedDevices.cbegin(); it != m_storedDevices.cend(); ++it)
        MSComm1.setDevice(it.key(), it.value());
    MSComm1.setCommPort(CommSettings::storedPort(m_store));
    selectSPort(MSComm1.CommPort() - 1);
    Label1->setText(QString::number(MSComm1.CommPort()));
    MSComm1.setSettings(CommSettings::storedBaud(m_store));
    const QString speedText = MSComm1.Settings().chopped(6);
    Label2->setText(MSComm1.Settings());
    for (int i = 0; i < int(speeds.size()); ++i) {
        if (Buart[i]->text() == speedText) {
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
    CommSettings::saveDevices(m_store, m_storedDevices);
    QString error;
    if (!m_store.sync(&error))
        showError(tr("%1\nThe port and speed chosen in this run were not saved.").arg(error));
}

void Form1::selectSPort(int index)
{
    if (index < 0 || index >= int(SPort.size()))
        return;
    SPort[index]->setChecked(true);
    SPort_Click(index);
}

void Form1::selectBuart(int index)
{
    Buart[index]->setChecked(true);
    Buart_Click(index);
}

void Form1::SPort_Click(int index)
{
    MSComm1.setCommPort(index == 0 ? 1 : 2);
    Label1->setText(QString::number(MSComm1.CommPort()));
}

void Form1::Buart_Click(int index)
{
    if (Buart[index]->isChecked())
        MSComm1.setSettings(QLatin1String(speeds[index].settings));
    Label2->setText(MSComm1.Settings());
}

void Form1::Command1_Click()
{
    if (!CDialog.ShowOpen(this))
        return;
    QString error;
    if (!MSComm1.setPortOpen(true, &error)) {
        showError(error);
        return;
    }
    const QString path = CDialog.FileName();
    Label6->setText(tr("Open File:"));
    Label3->setText(path);
    text1->show();
    loadFileIntoView(path);
    ProgressBar->show();
    Label4->show();
    Label5->show();
    Label7->hide();

    SendFileNumber = Files.FreeFile();
    if (!Files.open(SendFileNumber, path, FileTable::Mode::Read, &error)) {
        Command2_Click();
        showError(tr("Cannot send \"%1\": %2").arg(path, error));
        return;
    }
    const qint64 length = Files.length(SendFileNumber);
    Label5->setText(tr("Sum:") + signReserving(length));
    setProgressRange(length);

    Command1->setEnabled(false);
    Command2->show();
    Frame1->setEnabled(false);
    Frame2->setEnabled(false);
    Command3->setEnabled(false);

    m_sender.start(SendFileNumber, length);
}

void Form1::Command2_Click()
{
    // A cancel silences the line at once: what is still queued is thrown away.
    MSComm1.discardOutput();
    endSend();
}

void Form1::endSend()
{
    m_sender.stop();
    Files.close(SendFileNumber);
    MSComm1.setPortOpen(false);
    Command1->setEnabled(true);
    Command2->hide();
    Frame1->setEnabled(true);
    Frame2->setEnabled(true);
    Command3->setEnabled(true);
    ProgressBar->hide();
    Label4->hide();
    Label5->hide();
}

void Form1::setProgressRange(qint64 length)
{
    // The bar counts in int; long files are counted in units of a power of two.
    if (length <= 0)
        return; // an empty range would turn the bar into a busy indicator
    m_progressShift = 0;
    while ((length >> m_progressShift) > INT_MAX)
        ++m_progressShift;
    ProgressBar->setRange(0, static_cast<int>(length >> m_progressShift));
}

void Form1::onSendProgress(qint64 sent)
{
    Label4->setText(signReserving(sent));
    ProgressBar->setValue(static_cast<int>(sent >> m_progressShift));
}

void Form1::onSendFailed(const QString& reason)
{
    // What was read before the failure and already queued still goes out, as the message says.
    endSend();
    showError(reason);
}

void Form1::onDeviceLost(const QString& reason)
{
    if (m_sender.isRunning()) {
        const qint64 sent = m_sender.sentCount();
        Command2_Click();
        showError(tr("%1\nThe send was stopped after %2 bytes.").arg(reason).arg(sent));
        return;
    }
    if (m_receiver.isReceiving()) {
        m_receiver.endAfterDeviceLoss(reason); // reports through onReceiveFailed
        return;
    }
    showError(reason);
}

void Form1::Command3_Click()
{
    if (!CDialog.ShowSave(this))
        return;
    const QString path = CDialog.FileName();
    if (m_sender.isRunning()) {
        showError(tr("Cannot receive into \"%1\": %2 is busy sending a file.")
                      .arg(path, MSComm1.describe()));
        return;
    }
    const bool switching = m_receiver.isReceiving();
    const qint16 number = Files.FreeFile();
    Label6->setText(tr(" Save File:"));

    const bool existed = QFileInfo::exists(path);
    QString error;
    if (!Files.open(number, path, FileTable::Mode::ReadWrite, &error)) {
        showError(tr("Cannot receive into \"%1\": %2").arg(path, error));
        return;
    }
    // Gives the file back as it was found.
    const auto abandon = [&] {
        Files.close(number);
        if (!existed)
            QFile::remove(path);
    };
    const bool holdsData = Files.length(number) > 0;
    if (holdsData &&
        !m_messages.askOkCancel(this, tr("OverFile"), tr("OverFile:") + path + QLatin1Char('?'))) {
        Files.close(number);
        return;
    }
    if (!MSComm1.PortOpen() && !MSComm1.setPortOpen(true, &error)) {
        abandon();
        showError(error);
        return;
    }
    // The old content goes only now that the reception can really start.
    if (holdsData && !Files.truncate(number, &error)) {
        abandon();
        if (!switching)
            MSComm1.setPortOpen(false);
        showError(tr("Cannot empty \"%1\": %2").arg(path, error));
        return;
    }

    Label3->setText(path);
    Command3->setEnabled(false);
    Command4->show();
    Frame1->setEnabled(false);
    Frame2->setEnabled(false);
    Command1->setEnabled(false);
    text1->show();
    Label7->show();
    ProgressBar->hide();
    m_receiver.begin(number, path);
    m_receiveViewTimer.stop();
    m_receiveViewStale = false;
    Label7->setText(QString::number(m_receiver.ReceivedCount()));
    text1->setPlainText(waitingText);
}

void Form1::onBlockReceived()
{
    m_receiveViewStale = true;
    if (!m_receiveViewTimer.isActive()) {
        refreshReceiveView();
        m_receiveViewTimer.start();
    }
}

void Form1::refreshReceiveView()
{
    m_receiveViewStale = false;
    Label7->setText(QString::number(m_receiver.ReceivedCount()));
    text1->setPlainText(TextPreview::fromBytes(m_receiver.ReceiveBlock()));
}

void Form1::Command4_Click()
{
    if (m_receiver.isReceiving()) {
        QString error;
        const bool ok = m_receiver.finish(&error);
        showLatestReceived();
        // The file that was really received into, whatever the dialog shows by now.
        const QString path = m_receiver.path();
        loadFileIntoView(path);
        if (!ok) {
            showError(tr("Writing the last bytes to \"%1\" failed: %2\n%3 bytes were saved.")
                          .arg(path, error)
                          .arg(m_receiver.ReceivedCount()));
        }
    }
    showReceiveIdle();
}

void Form1::showLatestReceived()
{
    m_receiveViewTimer.stop();
    if (m_receiveViewStale)
        refreshReceiveView();
}

void Form1::showReceiveIdle()
{
    if (text1->toPlainText() == waitingText)
        text1->clear();
    Command3->setEnabled(true);
    Command4->hide();
    Frame1->setEnabled(true);
    Frame2->setEnabled(true);
    Command1->setEnabled(true);
}

void Form1::onReceiveFailed(const QString& reason)
{
    showLatestReceived();
    showReceiveIdle();
    showError(reason);
}

void Form1::showError(const QString& text)
{
    m_messages.showError(this, windowCaption, text);
}

bool Form1::loadFileIntoView(const QString& path)
{
    QString text;
    if (!TextPreview::fromFile(path, &text, nullptr))
        return false;
    text1->setPlainText(text);
    return true;
}

void Form1::closeEvent(QCloseEvent* event)
{
    if (m_sender.isRunning())
        Command2_Click();
    Form_Unload();
    event->accept();
}

QString Form1::helpFilePath(const QString& folder, QChar separator)
{
    QString path = folder;
    if (!path.endsWith(separator))
        path += separator;
    return path + QStringLiteral("baud.hlp");
}

void Form1::mnuContents_Click()
{
    const QString path =
        helpFilePath(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
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
    if (m_sender.isRunning())
        Command2_Click();
    if (m_receiver.isReceiving()) {
        QString error;
        if (!m_receiver.finish(&error)) {
            showError(tr("Writing the last bytes to \"%1\" failed: %2\n%3 bytes were saved.")
                          .arg(m_receiver.path(), error)
                          .arg(m_receiver.ReceivedCount()));
        }
    }
    QCoreApplication::exit(0);
}
