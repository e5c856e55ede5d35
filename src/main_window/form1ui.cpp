#include "main_window/form1ui.h"

#include "main_window/fittinglabel.h"
#include "main_window/groupboxstyle.h"
#include "transfer/modemoptions.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("Form1", text);
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

void Form1Ui::setupUi(QMainWindow* form)
{
    m_form = form;
    form->setObjectName(QStringLiteral("Form1"));
    form->setWindowTitle(QStringLiteral("Marlune DownLoad File And Bckup File"));
    createMenus(form);
    createControls();
    createStatusBar(form);
    arrangeTabOrder();
}

int Form1Ui::twips(int value) const
{
    // 15 twips to the pixel at 96 dots per inch, scaled to the screen's logical resolution.
    return qRound(value / 15.0 * m_form->logicalDpiX() / 96.0);
}

QList<QAbstractButton*> Form1Ui::portButtons() const
{
    return {SPort.begin(), SPort.end()};
}

QList<QAbstractButton*> Form1Ui::speedButtons() const
{
    return {Buart.begin(), Buart.end()};
}

void Form1Ui::createMenus(QMainWindow* form)
{
    mnuFile = form->menuBar()->addMenu(tr("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuSendFile = mnuFile->addAction(tr("&Send File"));
    mnuSendFile->setObjectName(QStringLiteral("mnuSendFile"));
    mnuReceiveFile = mnuFile->addAction(tr("&Receive File"));
    mnuReceiveFile->setObjectName(QStringLiteral("mnuReceiveFile"));
    mnuNull = mnuFile->addSeparator();
    mnuNull->setObjectName(QStringLiteral("mnuNull"));
    mnuExit = mnuFile->addAction(tr("&Exit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));

    mnuLine = form->menuBar()->addMenu(tr("&Line"));
    mnuLine->setObjectName(QStringLiteral("mnuLine"));
    mnuFlow = mnuLine->addMenu(tr("&Flow Control"));
    mnuFlow->setObjectName(QStringLiteral("mnuFlow"));
    auto* flows = new QActionGroup(mnuFlow);
    for (auto [action, text, name] :
         {std::tuple{&mnuFlowNone, tr("&None"), "mnuFlowNone"},
          std::tuple{&mnuFlowRtsCts, tr("&RTS/CTS"), "mnuFlowRtsCts"},
          std::tuple{&mnuFlowXonXoff, tr("&XON/XOFF"), "mnuFlowXonXoff"}}) {
        *action = mnuFlow->addAction(text);
        (*action)->setObjectName(QLatin1String(name));
        (*action)->setCheckable(true);
        flows->addAction(*action);
    }
    mnuFlowNone->setChecked(true);
    mnuSendOptions = mnuLine->addAction(tr("&Send Options..."));
    mnuSendOptions->setObjectName(QStringLiteral("mnuSendOptions"));
    mnuReconnect = mnuLine->addAction(tr("Re&connect When the Device Comes Back"));
    mnuReconnect->setObjectName(QStringLiteral("mnuReconnect"));
    mnuReconnect->setCheckable(true);
    mnuWaitForDevice = mnuLine->addAction(tr("&Wait for an Absent Device"));
    mnuWaitForDevice->setObjectName(QStringLiteral("mnuWaitForDevice"));
    mnuWaitForDevice->setCheckable(true);

    mnuProtocol = form->menuBar()->addMenu(tr("&Protocol"));
    mnuProtocol->setObjectName(QStringLiteral("mnuProtocol"));
    auto* protocols = new QActionGroup(mnuProtocol);
    for (auto [action, protocol, name] :
         {std::tuple{&mnuProtocolRaw, TransferProtocol::Raw, "mnuProtocolRaw"},
          std::tuple{&mnuProtocolXmodem, TransferProtocol::Xmodem, "mnuProtocolXmodem"},
          std::tuple{&mnuProtocolXmodem1k, TransferProtocol::Xmodem1k, "mnuProtocolXmodem1k"},
          std::tuple{&mnuProtocolYmodem, TransferProtocol::Ymodem, "mnuProtocolYmodem"}}) {
        *action = mnuProtocol->addAction(ModemOptions::title(protocol));
        (*action)->setObjectName(QLatin1String(name));
        (*action)->setData(ModemOptions::name(protocol));
        (*action)->setCheckable(true);
        protocols->addAction(*action);
    }
    mnuProtocolRaw->setChecked(true);

    mnuHelp = form->menuBar()->addMenu(tr("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuContents = mnuHelp->addAction(tr("&Baud Set"));
    mnuContents->setObjectName(QStringLiteral("mnuContents"));
}

void Form1Ui::createControls()
{
    client = new QWidget(m_form);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(twips(clientWidth), twips(clientHeight));
    // Controls without a font of their own take the form's, for which the layout's sizes are
    // made.
    client->setFont(msSansSerif(8.25));
    m_form->setCentralWidget(client);

    const auto button = [&](const char* name, const QString& caption, int top) {
        auto* b = new QPushButton(caption, client);
        place(b, QLatin1String(name), 240, top, 1455, 615);
        // Return presses the button that has the focus, as Space does.
        b->setAutoDefault(true);
        return b;
    };
    const auto label = [&](const char* name, int left, int top, int width, int height) {
        auto* l = new FittingLabel(client);
        place(l, QLatin1String(name), left, top, width, height);
        l->setTextFormat(Qt::PlainText);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->setAutoFillBackground(true);
        return l;
    };

    Command1 = button("Command1", tr("Send File"), 1920);
    Command2 = button("Command2", tr("Send Cancel"), 2640);
    Command3 = button("Command3", tr("Receive File"), 3840);
    Command4 = button("Command4", tr("Stop Receive "), 4440);

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

    createViewAndBar();
    createFrames();
    SPort[1]->setChecked(true);
    Buart[3]->setChecked(true);
}

void Form1Ui::place(QWidget* widget, const QString& name, int left, int top, int width,
                    int height) const
{
    widget->setObjectName(name);
    widget->setGeometry(twips(left), twips(top), twips(width), twips(height));
}

void Form1Ui::createViewAndBar()
{
    ProgressBar = new QProgressBar(client);
    place(ProgressBar, QStringLiteral("ProgressBar"), 2040, 840, 5895, 375);
    ProgressBar->setTextVisible(false);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);

    text1 = new QPlainTextEdit(client);
    place(text1, QStringLiteral("text1"), 1800, 1560, 6255, 4935);
    text1->setReadOnly(true);
    text1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text1->setUndoRedoEnabled(false);
}

void Form1Ui::createFrames()
{
    Frame1 = new QGroupBox(tr("Serial Port"), client);
    place(Frame1, QStringLiteral("Frame1"), 8160, 1560, 1215, 1215);
    for (std::size_t i = 0; i < SPort.size(); ++i) {
        SPort[i] = new QRadioButton(QStringLiteral("COM%1").arg(i + 1), Frame1);
        place(SPort[i], QStringLiteral("SPort%1").arg(i), 120, 360 + 360 * int(i), 855, 375);
    }

    Frame2 = new QGroupBox(tr("Baud"), client);
    place(Frame2, QStringLiteral("Frame2"), 8160, 3240, 1215, 2415);
    // Made after both frames, so it outlives them.
    auto* frameStyle = new GroupBoxStyle(client);
    Frame1->setStyle(frameStyle);
    Frame2->setStyle(frameStyle);
    for (std::size_t i = 0; i < speeds.size(); ++i) {
        Buart[i] = new QRadioButton(QString::number(speeds[i].speed), Frame2);
        place(Buart[i], QStringLiteral("Buart%1").arg(i), 120, 240 + 240 * int(i), 975, 255);
    }
}

void Form1Ui::createStatusBar(QMainWindow* form)
{
    statusBar = form->statusBar();
    statusBar->setObjectName(QStringLiteral("statusBar"));
    // The window keeps its size; nothing to drag.
    statusBar->setSizeGripEnabled(false);
    // Two rows: how a transfer goes (or went) with the protocol and the port's device at the right,
    // then the checksum of the last one, which needs the whole width.
    auto* panel = new QWidget(statusBar);
    auto* rows = new QGridLayout(panel);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setVerticalSpacing(0);
    const auto line = [&](const char* name) {
        auto* l = new QLabel(panel);
        l->setObjectName(QLatin1String(name));
        l->setTextFormat(Qt::PlainText);
        // A checksum is there to be copied.
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        // Each row keeps its height when empty, and no text can widen the window.
        l->setMinimumHeight(l->fontMetrics().lineSpacing());
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        return l;
    };
    transferStatus = line("transferStatus");
    transferDetail = line("transferDetail");
    protocolLabel = new QLabel(panel);
    protocolLabel->setObjectName(QStringLiteral("protocolLabel"));
    protocolLabel->setTextFormat(Qt::PlainText);
    portDevice = new QPushButton(panel);
    portDevice->setObjectName(QStringLiteral("portDevice"));
    portDevice->setFocusPolicy(Qt::TabFocus);
    portDevice->setAutoDefault(true);
    rows->addWidget(transferStatus, 0, 0);
    rows->addWidget(protocolLabel, 0, 1);
    rows->addWidget(portDevice, 0, 2);
    rows->addWidget(transferDetail, 1, 0, 1, 3);
    rows->setColumnStretch(0, 1);
    statusBar->addWidget(panel, 1);
}

void Form1Ui::arrangeTabOrder()
{
    std::vector<std::pair<int, QWidget*>> order{
        {0, Command1},  {2, SPort[0]},  {3, SPort[1]}, {16, Command2},
        {20, Command3}, {21, Command4}, {24, text1},
    };
    for (std::size_t i = 0; i < speeds.size(); ++i)
        order.emplace_back(speeds[i].tabIndex, Buart[i]);
    std::sort(order.begin(), order.end());
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1].second, order[i].second);
}
