// The main window as it comes up: layout, captions, menus, tab order and the port and speed
// choice.
#include "form1rig.h"
#include "main_window/fittinglabel.h"

#include <QAction>
#include <QActionGroup>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QTest>

#include <memory>

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowCaptionAndFixedClientArea();
    void controls_data();
    void controls();
    void labelFontsAndColours();
    void tabOrder();
    void menus();
    void idleArrangement();
    void portChoice();
    void speedChoice_data();
    void speedChoice();
    void captionsFit_data();
    void captionsFit();
    void controlCaptionsFit();
    void firstSpeedButtonClearsFrameBorder();
    void returnPressesFocusedButton();
    void tabEntersGroupsAtSelectedButton();

private:
    // Twips to pixels at the window's resolution, worked out here independently of the window.
    int px(int twipsValue) const
    {
        return qRound(twipsValue * m_rig->form->logicalDpiX() / 1440.0);
    }

    std::unique_ptr<Form1Rig> m_rig;
};

void TestForm1::init()
{
    m_rig = std::make_unique<Form1Rig>();
    m_rig->form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_rig->form.get()));
}

void TestForm1::cleanup()
{
    m_rig->form.reset();
    QVERIFY(m_rig->messages.errors.empty());
}

void TestForm1::windowCaptionAndFixedClientArea()
{
    QCOMPARE(m_rig->form->windowTitle(), QStringLiteral("Marlune DownLoad File And Bckup File"));
    QWidget* client = m_rig->form->centralWidget();
    QVERIFY(client);
    QCOMPARE(client->size(), QSize(px(9660), px(6720)));

    // The user cannot resize the window; the client area keeps its size.
    const QSize before = m_rig->form->size();
    m_rig->form->resize(before + QSize(200, 150));
    QCoreApplication::processEvents();
    QCOMPARE(m_rig->form->size(), before);
    QCOMPARE(client->size(), QSize(px(9660), px(6720)));
}

void TestForm1::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("twipsRect");
    QTest::addColumn<QString>("caption");

    const auto row = [](const QString& name, const QString& parent, int l, int t, int w, int h,
                        const QString& caption = {}) {
        QTest::newRow(qPrintable(name)) << name << parent << QRect(l, t, w, h) << caption;
    };
    row("Command1", "client", 240, 1920, 1455, 615, "Send File");
    row("Command2", "client", 240, 2640, 1455, 615, "Send Cancel");
    row("Command3", "client", 240, 3840, 1455, 615, "Receive File");
    row("Command4", "client", 240, 4440, 1455, 615, "Stop Receive ");
    row("Label6", "client", 0, 360, 1095, 375);
    row("Label3", "client", 1320, 360, 8175, 375);
    row("Label5", "client", 240, 840, 1575, 375);
    row("ProgressBar", "client", 2040, 840, 5895, 375);
    row("Label4", "client", 8040, 840, 1215, 375);
    row("Label7", "client", 120, 5280, 1575, 615);
    row("text1", "client", 1800, 1560, 6255, 4935);
    row("Frame1", "client", 8160, 1560, 1215, 1215, "Serial Port");
    row("Label1", "client", 8160, 2880, 1215, 255);
    row("Frame2", "client", 8160, 3240, 1215, 2415, "Baud");
    row("Label2", "client", 8160, 5760, 1215, 255);
    for (int i = 0; i < 2; ++i) {
        row(QStringLiteral("SPort%1").arg(i), "Frame1", 120, 360 + 360 * i, 855, 375,
            QStringLiteral("COM%1").arg(i + 1));
    }
    const char* speeds[] = {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};
    for (int i = 0; i < 8; ++i) {
        row(QStringLiteral("Buart%1").arg(i), "Frame2", 120, 240 + 240 * i, 975, 255,
            QString::fromLatin1(speeds[i]));
    }
}

void TestForm1::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, parentName);
    QFETCH(QRect, twipsRect);
    QFETCH(QString, caption);

    auto* w = m_rig->form->findChild<QWidget*>(name);
    QVERIFY(w);
    QVERIFY(w->parentWidget());
    QCOMPARE(w->parentWidget()->objectName(), parentName);
    QCOMPARE(w->geometry(), QRect(px(twipsRect.x()), px(twipsRect.y()), px(twipsRect.width()),
                                  px(twipsRect.height())));
    if (auto* box = qobject_cast<QGroupBox*>(w))
        QCOMPARE(box->title(), caption);
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        QCOMPARE(button->text(), caption);
}

void TestForm1::labelFontsAndColours()
{
    const auto checkFont = [](QLabel* label, qreal points) {
        QCOMPARE(label->font().family(), QStringLiteral("MS Sans Serif"));
        QCOMPARE(label->font().pointSizeF(), points);
        QVERIFY(!label->font().bold());
        QVERIFY(!label->font().italic());
    };
    checkFont(m_rig->control<QLabel>("Label5"), 9.75);
    checkFont(m_rig->control<QLabel>("Label4"), 9.75);
    checkFont(m_rig->control<QLabel>("Label6"), 12);
    checkFont(m_rig->control<QLabel>("Label3"), 12);
    QCOMPARE(m_rig->control<QLabel>("Label5")->palette().color(QPalette::WindowText),
             QColor(0, 0, 255));
    QCOMPARE(m_rig->control<QLabel>("Label4")->palette().color(QPalette::WindowText),
             QColor(255, 0, 0));
}

void TestForm1::tabOrder()
{
    const QStringList expected{"Command1", "SPort0", "SPort1",   "Buart0",   "Buart1",
                               "Buart2",   "Buart3", "Buart5",   "Buart6",   "Buart7",
                               "Command2", "Buart4", "Command3", "Command4", "text1"};
    // Walk the whole focus chain once and keep only the controls that take part.
    QStringList seen;
    QWidget* first = m_rig->control<QWidget>("Command1");
    QWidget* w = first;
    do {
        if (expected.contains(w->objectName()) && !seen.contains(w->objectName()))
            seen << w->objectName();
        w = w->nextInFocusChain();
    } while (w && w != first);
    QCOMPARE(seen, expected);
}

void TestForm1::menus()
{
    const QList<QAction*> top = m_rig->form->menuBar()->actions();
    QCOMPARE(top.size(), 4);
    QMenu* file = top[0]->menu();
    QMenu* help = top[3]->menu();
    QCOMPARE(top[1]->menu()->objectName(), QStringLiteral("mnuLine"));
    QMenu* protocol = top[2]->menu();
    QCOMPARE(protocol->objectName(), QStringLiteral("mnuProtocol"));
    QCOMPARE(protocol->title(), QStringLiteral("&Protocol"));
    QStringList protocols;
    for (QAction* a : protocol->actions()) {
        protocols << a->text();
        QVERIFY(a->isCheckable() && a->actionGroup() && a->actionGroup()->isExclusive());
    }
    QCOMPARE(protocols, QStringList({"Raw", "XMODEM", "XMODEM-1K", "YMODEM"}));
    QVERIFY(file && help);
    QCOMPARE(file->objectName(), QStringLiteral("mnuFile"));
    QCOMPARE(file->title(), QStringLiteral("&File"));
    QCOMPARE(help->objectName(), QStringLiteral("mnuHelp"));
    QCOMPARE(help->title(), QStringLiteral("&Help"));

    QStringList names, texts;
    for (QAction* a : file->actions()) {
        names << a->objectName();
        texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QVERIFY(a->shortcut().isEmpty());
    }
    QCOMPARE(names, QStringList({"mnuSendFile", "mnuReceiveFile", "mnuNull", "mnuExit"}));
    QCOMPARE(texts, QStringList({"&Send File", "&Receive File", "-", "&Exit"}));

    QCOMPARE(help->actions().size(), 1);
    QAction* contents = help->actions().first();
    QCOMPARE(contents->objectName(), QStringLiteral("mnuContents"));
    QCOMPARE(contents->text(), QStringLiteral("&Baud Set"));
    QVERIFY(contents->shortcut().isEmpty());
}

void TestForm1::idleArrangement()
{
    for (const char* name : {"Command1", "Command3"}) {
        QVERIFY2(m_rig->control<QPushButton>(name)->isVisible(), name);
        QVERIFY2(m_rig->control<QPushButton>(name)->isEnabled(), name);
    }
    QVERIFY(m_rig->control<QPushButton>("Command2")->isHidden());
    QVERIFY(m_rig->control<QPushButton>("Command4")->isHidden());
    QVERIFY(m_rig->control<QGroupBox>("Frame1")->isEnabled());
    QVERIFY(m_rig->control<QGroupBox>("Frame2")->isEnabled());
    QVERIFY(m_rig->control<QRadioButton>("SPort1")->isChecked());
    QVERIFY(!m_rig->control<QRadioButton>("SPort0")->isChecked());
    for (int i = 0; i < 8; ++i) {
        const QString name = QStringLiteral("Buart%1").arg(i);
        QCOMPARE(m_rig->form->findChild<QRadioButton*>(name)->isChecked(), i == 3);
    }
    QCOMPARE(m_rig->label("Label1"), QStringLiteral("2"));
    QCOMPARE(m_rig->label("Label2"), QStringLiteral("9600,N,8,1"));
    for (const char* name : {"Label3", "Label4", "Label5", "Label6", "Label7"}) {
        QVERIFY2(m_rig->control<QLabel>(name)->isVisible(), name);
        QVERIFY2(m_rig->control<QLabel>(name)->text().isEmpty(), name);
    }
    QVERIFY(m_rig->control<QProgressBar>("ProgressBar")->isHidden());
    QVERIFY(m_rig->control<QPlainTextEdit>("text1")->isHidden());
}

void TestForm1::portChoice()
{
    m_rig->click("SPort0");
    QVERIFY(m_rig->control<QRadioButton>("SPort0")->isChecked());
    QVERIFY(!m_rig->control<QRadioButton>("SPort1")->isChecked());
    QCOMPARE(m_rig->label("Label1"), QStringLiteral("1"));

    m_rig->click("SPort1");
    QCOMPARE(m_rig->label("Label1"), QStringLiteral("2"));
}

void TestForm1::speedChoice_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("speed");

    const int speeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int i = 0; i < 8; ++i)
        QTest::newRow(qPrintable(QString::number(speeds[i]))) << i << speeds[i];
}

void TestForm1::speedChoice()
{
    QFETCH(int, index);
    QFETCH(int, speed);

    // Start from another speed, so that every row shows a change.
    const int other = index == 0 ? 1 : 0;
    m_rig->click(QStringLiteral("Buart%1").arg(other));

    auto* button = m_rig->control<QRadioButton>(QStringLiteral("Buart%1").arg(index));
    QTest::mouseClick(button, Qt::LeftButton);
    const QString settings = QStringLiteral("%1,N,8,1").arg(speed);
    QVERIFY(button->isChecked());
    QCOMPARE(m_rig->label("Label2"), settings);
    int checked = 0;
    for (auto* b : m_rig->control<QGroupBox>("Frame2")->findChildren<QRadioButton*>())
        checked += b->isChecked() ? 1 : 0;
    QCOMPARE(checked, 1);
}

void TestForm1::captionsFit_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("Open File:") << "Label6"
                                << "Open File:";
    QTest::newRow("Save File:") << "Label6"
                                << " Save File:";
    QTest::newRow("Sum: of 10 digits") << "Label5"
                                       << "Sum: 1234567890";
    QTest::newRow("sent count of 10 digits") << "Label4"
                                             << " 1234567890";
    QTest::newRow("received count of 10 digits") << "Label7"
                                                 << "1234567890";
}

void TestForm1::captionsFit()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    auto* label = m_rig->form->findChild<FittingLabel*>(name);
    QVERIFY(label);
    const QRect geometry = label->geometry();
    label->setText(text);

    // The font the window resolved, then faces wider than it: DejaVu Sans, the widest sans
    // serif Debian installs by default, and a face spread out further still.
    QFont dejaVu(QStringLiteral("DejaVu Sans"));
    dejaVu.setPointSizeF(label->font().pointSizeF());
    QFont spread = dejaVu;
    spread.setLetterSpacing(QFont::PercentageSpacing, 140);
    for (const QFont& font : {label->font(), dejaVu, spread}) {
        label->setFont(font);
        // Drawn whole, within the label's own width.
        QCOMPARE(label->shownText(), text);
        const qreal drawn = QFontMetricsF(label->fittedFont()).horizontalAdvance(text);
        QVERIFY2(drawn <= label->contentsRect().width(),
                 qPrintable(QStringLiteral("%1 in %2: %3 > %4")
                                .arg(text, QFontInfo(font).family())
                                .arg(drawn)
                                .arg(label->contentsRect().width())));
        QVERIFY(label->fittedFont().pointSizeF() >= FittingLabel::smallestPoints);
        QCOMPARE(label->font(), font);
        QCOMPARE(label->geometry(), geometry);
    }
}

void TestForm1::controlCaptionsFit()
{
    // Buttons and frames keep their captions inside, in the font the window resolved and in
    // DejaVu Sans, the widest sans serif Debian installs by default.
    QWidget* client = m_rig->form->centralWidget();
    QFont dejaVu(QStringLiteral("DejaVu Sans"));
    dejaVu.setPointSizeF(client->font().pointSizeF());
    for (const QFont& font : {client->font(), dejaVu}) {
        client->setFont(font);
        const QString family = QFontInfo(font).family();
        for (auto* button : client->findChildren<QPushButton*>()) {
            const int width = button->fontMetrics().horizontalAdvance(button->text());
            QVERIFY2(width + 8 <= button->width(), qPrintable(button->objectName() + family));
        }
        for (auto* option : client->findChildren<QRadioButton*>()) {
            QStyleOptionButton opt;
            opt.initFrom(option);
            opt.text = option->text();
            const QRect text =
                option->style()->subElementRect(QStyle::SE_RadioButtonContents, &opt, option);
            QVERIFY2(text.left() + option->fontMetrics().horizontalAdvance(option->text()) <=
                         option->width(),
                     qPrintable(option->objectName() + family));
        }
        for (auto* frame : client->findChildren<QGroupBox*>()) {
            QVERIFY2(frame->fontMetrics().horizontalAdvance(frame->title()) + 4 <= frame->width(),
                     qPrintable(frame->objectName() + family));
        }
    }
}

void TestForm1::firstSpeedButtonClearsFrameBorder()
{
    // Where the frame's top border runs, as drawn: the first row, down a column right of the
    // title and of every caption, that differs from the background above the frame.
    auto* frame = m_rig->control<QGroupBox>("Frame2");
    auto* first = m_rig->control<QRadioButton>("Buart0");
    const QImage image = frame->grab().toImage();
    const int x = frame->width() - 4;
    int border = -1;
    for (int y = 1; y < image.height() && border < 0; ++y) {
        if (image.pixel(x, y) != image.pixel(x, 0))
            border = y;
    }
    QVERIFY(border >= 0);
    QStyleOptionButton opt;
    opt.initFrom(first);
    const QRect indicator =
        first->style()->subElementRect(QStyle::SE_RadioButtonIndicator, &opt, first);
    QVERIFY2(first->y() + indicator.top() > border + 1,
             qPrintable(QStringLiteral("indicator at %1, border at %2")
                            .arg(first->y() + indicator.top())
                            .arg(border)));
}

void TestForm1::returnPressesFocusedButton()
{
    m_rig->form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_rig->form.get()));
    auto* send = m_rig->control<QPushButton>("Command1");
    send->setFocus();
    QTest::keyClick(send, Qt::Key_Return);
    QCOMPARE(m_rig->dialog.opens, 1);
    auto* receive = m_rig->control<QPushButton>("Command3");
    receive->setFocus();
    QTest::keyClick(receive, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_rig->dialog.saves, 1);
}

void TestForm1::tabEntersGroupsAtSelectedButton()
{
    m_rig->form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_rig->form.get()));
    const auto tabFrom = [&](const char* name) {
        m_rig->control<QWidget>(name)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    };
    // COM2 and 9600 are selected at the start.
    QCOMPARE(tabFrom("Command1"), QStringLiteral("SPort1"));
    QCOMPARE(tabFrom("SPort1"), QStringLiteral("Buart3"));
    m_rig->click("SPort0");
    m_rig->click("Buart6");
    QCOMPARE(tabFrom("Command1"), QStringLiteral("SPort0"));
    QCOMPARE(tabFrom("SPort0"), QStringLiteral("Buart6"));
    // The arrow keys move within the group and select as they go.
    QTest::keyClick(m_rig->control<QRadioButton>("Buart6"), Qt::Key_Down);
    QVERIFY(m_rig->control<QRadioButton>("Buart7")->isChecked());
    QCOMPARE(tabFrom("SPort0"), QStringLiteral("Buart7"));
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
