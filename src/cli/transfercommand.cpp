#include "cli/transfercommand.h"

#include "cli/climodem.h"
#include "cli/clireceiver.h"
#include "cli/clisender.h"
#include "cli/commandline.h"
#include "cli/progressprinter.h"
#include "platform/commsettings.h"
#include "platform/serialport.h"
#include "platform/settingsstore.h"
#include "platform/signalwatcher.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <optional>
#include <unistd.h>

namespace {

// The port as the window left it, with what the command line changes for this run.
void configurePort(SerialPort& port, const CommandLine& commandLine)
{
    const SettingsStore store(CommSettings::application);
    CommSettings::loadDevices(store, &port.ports());
    const int number = commandLine.port.value_or(CommSettings::storedPort(store));
    port.ports().mapForRun(commandLine.devicesForRun(number));
    port.setCommPort(number);
    // Both were checked already: the store's value reads as the default when the port would
    // refuse it, and --baud takes only speeds the settings can name. Whether the device can
    // run at that speed, opening the port tells.
    port.setSettings(commandLine.baud ? LineSettings::plain(*commandLine.baud)
                                      : CommSettings::storedBaud(store));
}

} // namespace

int runTransferCommand(const CommandLine& commandLine)
{
    SerialPort port;
    configurePort(port, commandLine);

    QFile errorOutput;
    errorOutput.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered,
                     QFileDevice::DontCloseHandle);
    ProgressPrinter progress(errorOutput, ProgressPrinter::styleFor(STDERR_FILENO));

    SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
    if (!watcher.isValid()) {
        progress.message(QStringLiteral("marlune: cannot watch for Ctrl-C; giving up."));
        return CommandLine::exitFailure;
    }
    const auto signalName = [](int number) {
        return QString::fromLatin1(SignalWatcher::name(number));
    };

    QString error;
    bool started = false;
    std::optional<CliSender> sender;
    std::optional<CliReceiver> receiver;
    std::optional<CliModem> modem;
    if (commandLine.protocol != TransferProtocol::Raw) {
        modem.emplace(port, progress);
        QObject::connect(&*modem, &CliModem::done, &*modem, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        QObject::connect(&watcher, &SignalWatcher::received, &*modem,
                         [&](int number) { modem->interrupt(signalName(number)); });
        started = commandLine.command == CommandLine::Command::Send
                      ? modem->startSend(commandLine.file, commandLine.modem, &error)
                      : modem->startReceive(commandLine.file, commandLine.modem, commandLine.force,
                                            &error);
    } else if (commandLine.command == CommandLine::Command::Send) {
        sender.emplace(port, progress);
        QObject::connect(&*sender, &CliSender::done, &*sender, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        QObject::connect(&watcher, &SignalWatcher::received, &*sender,
                         [&](int number) { sender->interrupt(signalName(number)); });
        started = sender->start(commandLine.file, &error);
    } else {
        receiver.emplace(port, progress);
        QObject::connect(&*receiver, &CliReceiver::done, &*receiver, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        QObject::connect(&watcher, &SignalWatcher::received, &*receiver,
                         [&](int number) { receiver->stop(signalName(number)); });
        started = receiver->start(commandLine.file, commandLine.force,
                                  {commandLine.idleMs, commandLine.maxBytes, commandLine.timeoutMs},
                                  &error);
    }
    if (!started) {
        progress.error(error);
        return CommandLine::exitFailure;
    }
    return QCoreApplication::exec();
}
