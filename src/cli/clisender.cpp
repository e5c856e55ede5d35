#include "cli/clisender.h"

#include "cli/commandline.h"
#include "cli/progressprinter.h"
#include "platform/serialport.h"
#include "transfer/transfertext.h"

#include <unistd.h>

CliSender::CliSender(SerialPort& port, ProgressPrinter& progress, QObject* parent)
    : QObject(parent), m_port(port), m_progress(progress), m_sender(port)
{
    connect(&m_sender, &FileSender::ended, this, &CliSender::onEnded);
    connect(&m_sender, &FileSender::warned, this, [this](const QString& message) {
        m_progress.message(QStringLiteral("marlune: ") + ProgressPrinter::oneLine(message));
    });
}

bool CliSender::start(const QString& path, QString* error)
{
    if (path == CommandLine::standardStream) {
        auto source = std::make_unique<SendSource>();
        if (!source->openStream(STDIN_FILENO, error) ||
            m_sender.start(std::move(source), error) != FileSender::Start::Started)
            return false;
    } else if (m_sender.start(path, error) != FileSender::Start::Started) {
        return false;
    }
    m_progress.start(m_sender.report(), tr("sent"));
    return true;
}

void CliSender::interrupt(const QString& why)
{
    m_sender.cancel(why);
}

void CliSender::onEnded(const FileSender::Outcome& outcome)
{
    if (outcome.ending == FileSender::Ending::Finished) {
        m_progress.finish(TransferText::summaryLine(m_sender.report(), m_sender.sourceName(),
                                                    m_port.describe(), m_port.Settings()));
        emit done(CommandLine::exitSuccess);
        return;
    }
    m_progress.finish(QStringLiteral("marlune: ") + ProgressPrinter::oneLine(outcome.message));
    emit done(CommandLine::exitFailure);
}
