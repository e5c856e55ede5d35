#include "cli/commandline.h"
#include "cli/portlisting.h"
#include "cli/transfercommand.h"
#include "main_window/form1.h"
#include "main_window/qtfiledialog.h"
#include "main_window/qtmessageservice.h"
#include "main_window/shownprobe.h"
#include "platform/commsettings.h"
#include "platform/settingsstore.h"
#include "platform/signalwatcher.h"

#include <QApplication>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

int reportUsageError(const CommandLine& commandLine)
{
    const char* command = commandLine.command == CommandLine::Command::Send      ? " send"
                          : commandLine.command == CommandLine::Command::Receive ? " receive"
                          : commandLine.command == CommandLine::Command::Ports   ? " ports"
                                                                                 : "";
    std::fprintf(stderr, "marlune: %s\nRun \"marlune%s --help\" for the options.\n",
                 qPrintable(commandLine.error), command);
    return CommandLine::exitUsage;
}

int runWindow(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("marlune"));
    // Parsed only now: the window system has taken its own options (-platform, -style) away.
    const CommandLine commandLine = CommandLine::parse(QApplication::arguments());
    if (!commandLine.error.isEmpty())
        return reportUsageError(commandLine);

    QtFileDialog dialog;
    QtMessageService messages;
    // --device is the device of the port the window starts on; --com1 or --com2 given alone
    // starts it on that port. Neither is stored, unless the user then closes the window.
    const int port = commandLine.port.value_or(
        CommSettings::storedPort(SettingsStore(CommSettings::application)));
    Form1 window(dialog, messages, commandLine.devicesForRun(port), commandLine.port);
    // A logout, a closed terminal or a kill ends the program as its close button does: the
    // reception keeps every byte, and the port choice is saved.
    SignalWatcher stopSignals({SIGINT, SIGTERM, SIGHUP});
    QObject::connect(&stopSignals, &SignalWatcher::received, &window, &QWidget::close);
    ShownProbe::installIfRequested();
    window.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
#ifdef SIGXFSZ
    // A file that reaches the size limit must fail its write with an error we can report,
    // not kill the program.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // Progress to a reader that went away (`| head`) fails quietly; the transfer goes on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Qt's own event dispatcher costs less per wake-up than GLib's, and a reception at 115200
    // wakes a thousand times a second. Nothing of the program needs GLib's loop: its file
    // dialogs are Qt's own (qtfiledialog.cpp).
    qputenv("QT_NO_GLIB", "1");
    // Decided before any application object exists: the commands run without a display.
    if (CommandLine::opensWindow(arguments))
        return runWindow(argc, argv);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlune"));
    const CommandLine commandLine = CommandLine::parse(QCoreApplication::arguments());
    if (!commandLine.error.isEmpty())
        return reportUsageError(commandLine);
    if (commandLine.helpRequested || commandLine.versionRequested) {
        std::fputs(qPrintable(commandLine.helpRequested ? commandLine.helpText
                                                        : CommandLine::versionText() + '\n'),
                   stdout);
        return CommandLine::exitSuccess;
    }
    if (commandLine.command == CommandLine::Command::Ports)
        return PortListing::run(commandLine);
    return runTransferCommand(commandLine);
}
