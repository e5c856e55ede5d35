#include "cli/transfercommand.h"

#include "cli/climodem.h"
#include "cli/clireceiver.h"
#include "cli/clisender.h"
#include "cli/commandline.h"
#include "cli/progressprinter.h"
#include "platform/commsettings.h"
#include "platform/devicewatch.h"
#include "platform/serialport.h"
#include "platform/settingsstore.h"
#include "platform/signalwatcher.h"
#include "transfer/transfertext.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <climits>
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
    // The port is closed, so it takes any flow control; the device tells at the open.
    port.setFlowControl(commandLine.flow.value_or(CommSettings::storedFlow(store, number)));
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

    std::optional<CliSender> sender;
    std::optional<CliReceiver> receiver;
    std::optional<CliModem> modem;
    // Waiting for an absent device: nothing has started that a stop signal could end.
    bool waiting = false;
    const auto stopWaiting = [&](int number) {
        progress.error(TransferText::stoppedWaitingForDevice(port.describe(), signalName(number)));
        QCoreApplication::exit(CommandLine::exitFailure);
    };
    if (commandLine.protocol != TransferProtocol::Raw) {
        modem.emplace(port, progress);
        QObject::connect(&*modem, &CliModem::done, &*modem, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        QObject::connect(&watcher, &SignalWatcher::received, &*modem, [&](int number) {
            if (waiting)
                stopWaiting(number);
            else
                modem->interrupt(signalName(number));
        });
    } else if (commandLine.command == CommandLine::Command::Send) {
        sender.emplace(port, progress);
        sender->setPacing(commandLine.pacing);
        QObject::connect(&*sender, &CliSender::done, &*sender, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        QObject::connect(&watcher, &SignalWatcher::received, &*sender, [&](int number) {
            if (waiting)
                stopWaiting(number);
            else
                sender->interrupt(signalName(number));
        });
    } else {
        receiver.emplace(port, progress);
        receiver->setReconnect(commandLine.reconnect);
        QObject::connect(&*receiver, &CliReceiver::done, &*receiver, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        QObject::connect(&watcher, &SignalWatcher::received, &*receiver, [&](int number) {
            if (waiting)
                stopWaiting(number);
            else
                receiver->stop(signalName(number));
        });
    }
    const auto startTransfer = [&](QString* error) {
        if (modem) {
            return commandLine.command == CommandLine::Command::Send
                       ? modem->startSend(commandLine.file, commandLine.modem, error)
                       : modem->startReceive(commandLine.file, commandLine.modem, commandLine.force,
                                             error);
        }
        return sender
                   ? sender->start(commandLine.file, error)
                   : receiver->start(
                         commandLine.file, commandLine.force,
                         {commandLine.idleMs, commandLine.maxBytes, commandLine.timeoutMs}, error);
    };

    // An absent device, waited for: the transfer starts once the device can be opened.
    DeviceWatch deviceWatch;
    QTimer deadline;
    QString lastRefusal;
    if (commandLine.waitForDeviceMs && !QFileInfo::exists(port.device())) {
        waiting = true;
        progress.message(
            QStringLiteral("marlune: ") +
            TransferText::waitingForDevice(port.describe(), *commandLine.waitForDeviceMs));
        QObject::connect(&deviceWatch, &DeviceWatch::present, &deviceWatch, [&] {
            // A device just plugged in may not let this user in at once; the next look tries
            // again.
            if (!port.setPortOpen(true, &lastRefusal))
                return;
            port.setPortOpen(false);
            deviceWatch.stop();
            deadline.stop();
            waiting = false;
            QString error;
            if (!startTransfer(&error)) {
                progress.error(error);
                QCoreApplication::exit(CommandLine::exitFailure);
            }
        });
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &deadline, [&] {
            deviceWatch.stop();
            progress.error(TransferText::deviceDidNotAppear(
                port.describe(), *commandLine.waitForDeviceMs, lastRefusal));
            QCoreApplication::exit(CommandLine::exitFailure);
        });
        deviceWatch.watch({port.device()});
        deadline.start(int(std::min<qint64>(*commandLine.waitForDeviceMs, INT_MAX)));
        return QCoreApplication::exec();
    }

    QString error;
    if (!startTransfer(&error)) {
        progress.error(error);
        return CommandLine::exitFailure;
    }
    return QCoreApplication::exec();
}
