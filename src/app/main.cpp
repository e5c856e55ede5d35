#include "app/commandline.h"
#include "app/shownprobe.h"
#include "main_window/form1.h"
#include "platform/qtfiledialog.h"
#include "platform/qtmessageservice.h"

#include <QApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char* argv[])
{
#ifdef SIGXFSZ
    // A file that reaches the size limit must fail its write with an error we can report,
    // not kill the program.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("marlune"));

    const CommandLine commandLine = CommandLine::parse(QApplication::arguments());
    if (!commandLine.error.isEmpty()) {
        std::fprintf(stderr, "%s\n\n%s", qPrintable(commandLine.error),
                     qPrintable(commandLine.helpText));
        return 2;
    }
    if (commandLine.helpRequested) {
        std::fputs(qPrintable(commandLine.helpText), stdout);
        return 0;
    }

    QtFileDialog dialog;
    QtMessageService messages;
    Form1 window(dialog, messages);
    for (auto it = commandLine.devices.cbegin(); it != commandLine.devices.cend(); ++it)
        window.serialPort().setDevice(it.key(), it.value());
    ShownProbe::installIfRequested();
    window.show();
    return QApplication::exec();
}
