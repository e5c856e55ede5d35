#include "main_window/helpwindow.h"

#include <QDialogButtonBox>
#include <QTextBrowser>
#include <QVBoxLayout>

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(tr("Marlune Help"));
    m_browser = new QTextBrowser(this);
    m_browser->setObjectName(QStringLiteral("helpText"));
    m_browser->setOpenLinks(false);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_browser);
    layout->addWidget(buttons);
    resize(560, 480);
}

void HelpWindow::setLookedUpPath(const QString& path)
{
    const QString html =
        tr("<h2>Marlune DownLoad File And Bckup File</h2>"
           "<p>Moves whole files over a serial line between this computer and a device. "
           "The bytes go out and come in exactly as they are: nothing is added or taken "
           "away.</p>"
           "<h3>Sending a file to the device</h3>"
           "<p>Choose the port and the speed, then <b>Send File</b> (or File, Send File) and "
           "pick the file. The window shows the file, its length, the bytes sent and a "
           "progress bar. <b>Send Cancel</b> stops the send at once.</p>"
           "<h3>Receiving a file from the device (backup)</h3>"
           "<p>Press <b>Receive File</b> (or File, Receive File) and pick the file to save "
           "into; an existing file is overwritten only after you confirm. Then start the "
           "transfer on the device. Every byte that arrives goes into the file and is counted. "
           "The line carries no end marker, so press <b>Stop Receive</b> once the device has "
           "finished; the window then shows the received file.</p>"
           "<h3>Port and speed</h3>"
           "<p>Pick COM1 or COM2 and one of the speeds from 1200 to 115200 baud. The line "
           "always runs with no parity, 8 data bits and 1 stop bit, and the device must be set "
           "the same way. The choice cannot change while a transfer runs. It is saved when "
           "you close the window and restored at the next start; File, Exit ends the program "
           "without saving it.</p>"
           "<h3>Other serial devices</h3>"
           "<p>COM1 and COM2 stand for the computer's first and second serial port. To use "
           "another device, such as a USB serial adapter, click the device's name at the right "
           "of the status bar (or right-click the Serial Port frame) and choose it; that choice "
           "is saved at once. For one run only, start the program with "
           "<code>--com1 DEVICE</code> or <code>--com2 DEVICE</code>, for example "
           "<code>marlune --com1 /dev/ttyUSB0</code>. On Linux your user must be allowed to "
           "use the device (usually the <code>dialout</code> group).</p>"
           "<hr><p>The help file was looked for at:<br><code>%1</code><br>It is missing, or "
           "nothing on this computer can show it, so this summary is shown instead.</p>")
            .arg(path.toHtmlEscaped());
    m_browser->setHtml(html);
}

QString HelpWindow::text() const
{
    return m_browser->toPlainText();
}
