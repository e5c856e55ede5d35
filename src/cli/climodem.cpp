#include "cli/climodem.h"

#include "cli/commandline.h"
#include "cli/progressprinter.h"
#include "platform/serialport.h"
#include "transfer/transfertext.h"

CliModem::CliModem(SerialPort& port, ProgressPrinter& progress, QObject* parent)
    : QObject(parent), m_port(port), m_progress(progress), m_sender(port), m_receiver(port)
{
    connect(&m_sender, &ModemSender::ended, this, &CliModem::onSent);
    connect(&m_receiver, &ModemReceiver::ended, this, &CliModem::onReceived);
    connect(&m_receiver, &ModemReceiver::progressed, this, [this] {
        // The first block: the wait is over, and the progress shows from here.
        if (!m_progressShown && m_receiver.isRunning() && m_receiver.report().count() > 0) {
            m_progressShown = true;
            m_progress.start(m_receiver.report(), tr("received"));
        }
    });
}

bool CliModem::startSend(const QString& path, const ModemOptions& options, QString* error)
{
    m_protocol = ModemOptions::title(options.protocol);
    if (m_sender.start(path, options, error) != ModemSender::Start::Started)
        return false;
    m_progress.showWaiting(
        tr("Waiting for the receiver to begin %1 on %2").arg(m_protocol, m_port.describe()));
    m_progress.start(m_sender.report(), tr("acknowledged"));
    return true;
}

bool CliModem::startReceive(const QString& path, const ModemOptions& options, bool force,
                            QString* error)
{
    m_protocol = ModemOptions::title(options.protocol);
    if (!m_receiver.start(path, options, force, error))
        return false;
    m_progress.showWaiting(
        tr("Waiting for the sender to begin %1 on %2").arg(m_protocol, m_port.describe()));
    return true;
}

void CliModem::interrupt(const QString& why)
{
    m_sender.cancel(why);
    m_receiver.cancel(why);
}

void CliModem::onSent(const ModemSender::Outcome& outcome)
{
    if (outcome.ending == ModemSender::Ending::Finished) {
        m_progress.finish(TransferText::summaryLine(m_sender.report(), m_sender.sourceName(),
                                                    m_port.describe(), m_port.Settings(),
                                                    tr(" by %1").arg(m_protocol)));
        emit done(CommandLine::exitSuccess);
        return;
    }
    m_progress.finish(QStringLiteral("marlune: ") + ProgressPrinter::oneLine(outcome.message));
    emit done(CommandLine::exitFailure);
}

void CliModem::onReceived(const ModemReceiver::Outcome& outcome)
{
    if (outcome.ok()) {
        const QString files =
            outcome.files.isEmpty()
                ? tr("no file (the batch was empty)")
                : QStringLiteral("\"%1\"").arg(outcome.files.join(QStringLiteral("\", \"")));
        m_progress.finish(TransferText::summaryLine(m_receiver.report(), files, m_port.describe(),
                                                    m_port.Settings(),
                                                    tr(" by %1").arg(m_protocol)));
        emit done(CommandLine::exitSuccess);
        return;
    }
    m_progress.finish(QStringLiteral("marlune: ") + ProgressPrinter::oneLine(outcome.message));
    emit done(CommandLine::exitFailure);
}
