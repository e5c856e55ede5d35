#include "cli/clisender.h"

#include "cli/commandline.h"
#include "cli/progressprinter.h"
#include "platform/serialport.h"

#include <unistd.h>

CliSender::CliSender(SerialPort& port, ProgressPrinter& progress, QObject* parent)
    : QObject(parent), m_port(port), m_progress(progress), m_sender(port)
{
    connect(&m_sender, &FileSender::progress, this, [this](qint64 sent, QByteArrayView chunk) {
        m_hash.addData(chunk);
        m_progress.update(sent);
    });
    connect(&m_sender, &FileSender::finished, this, &CliSender::onFinished);
    connect(&m_sender, &FileSender::failed, this, &CliSender::fail);
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
    m_hash.reset();
    m_clock.start();
    m_progress.start(m_sender.length(), tr("sent"));
    return true;
}

void CliSender::onFinished()
{
    const qint64 ms = m_clock.elapsed();
    const qint64 sent = m_sender.sentCount();
    const QString rate = ProgressPrinter::formatRate(sent, ms);
    m_progress.finish(tr("Sent %1 bytes from %2 to %3 at %4 in %5 s%6; SHA-256 %7")
                          .arg(sent)
                          .arg(m_sender.sourceName(), m_port.describe(), m_port.Settings())
                          .arg(double(ms) / 1000, 0, 'f', 2)
                          .arg(rate.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(rate),
                               QString::fromLatin1(m_hash.hex())));
    emit done(CommandLine::exitSuccess);
}

void CliSender::interrupt(const QString& why)
{
    if (!m_sender.isRunning())
        return;
    const FileSender::Sent sent = m_sender.cancel();
    // Of a stream's length nothing is known but what was read.
    const QString ofLength =
        m_sender.length() < 0 ? QString() : tr(" of %1").arg(m_sender.length());
    fail(tr("Stopped by %1 after %2%3%4 bytes were sent to %5.")
             .arg(why, sent.exact ? QString() : tr("at most "))
             .arg(sent.bytes)
             .arg(ofLength, m_port.describe()));
}

void CliSender::fail(const QString& message)
{
    m_progress.finish(QStringLiteral("marlune: ") + ProgressPrinter::oneLine(message));
    emit done(CommandLine::exitFailure);
}
