#include "app/clisender.h"

#include "app/commandline.h"
#include "app/progressprinter.h"
#include "platform/serialport.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>

namespace {

// Messages of the transfer core may span lines; a script's log wants one line per event.
QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' '));
}

} // namespace

CliSender::CliSender(SerialPort& port, ProgressPrinter& progress, QObject* parent)
    : QObject(parent), m_port(port), m_progress(progress), m_sender(port, m_files)
{
    connect(&m_sender, &FileSender::chunkSent, this,
            [this](QByteArrayView chunk) { m_hash.addData(chunk); });
    connect(&m_sender, &FileSender::progress, this,
            [this](qint64 sent) { m_progress.update(sent); });
    connect(&m_sender, &FileSender::finished, this, &CliSender::onFinished);
    connect(&m_sender, &FileSender::failed, this, &CliSender::onFailed);
    connect(&m_port, &SerialPort::deviceLost, this, &CliSender::onDeviceLost);
}

CliSender::~CliSender()
{
    close();
}

bool CliSender::start(const QString& path, QString* error)
{
    m_path = path;
    m_fileNumber = m_files.FreeFile();
    QString why;
    // The file first: a missing file needs no port to be reported. Only a regular file has a
    // length to send; a pipe would "succeed" with nothing sent.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *error = tr("Cannot send \"%1\": it is not a regular file.").arg(path);
        return false;
    }
    if (!m_files.open(m_fileNumber, path, FileTable::Mode::Read, &why)) {
        *error = tr("Cannot send \"%1\": %2").arg(path, why);
        return false;
    }
    if (!m_port.setPortOpen(true, &why)) {
        m_files.close(m_fileNumber);
        *error = why;
        return false;
    }
    m_length = m_files.length(m_fileNumber);
    m_hash.reset();
    m_running = true;
    m_clock.start();
    m_progress.start(m_length, tr("sent"));
    m_sender.start(m_fileNumber, m_length);
    return true;
}

void CliSender::onFinished()
{
    if (!m_running)
        return;
    const qint64 ms = m_clock.elapsed();
    const QString rate = ProgressPrinter::formatRate(m_length, ms);
    close();
    m_progress.finish(tr("Sent %1 bytes from \"%2\" to %3 at %4 in %5 s%6; SHA-256 %7")
                          .arg(m_length)
                          .arg(m_path, m_port.describe(), m_port.Settings())
                          .arg(double(ms) / 1000, 0, 'f', 2)
                          .arg(rate.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(rate),
                               QString::fromLatin1(m_hash.hex())));
    emit done(CommandLine::exitSuccess);
}

void CliSender::onFailed(const QString& reason)
{
    if (m_running)
        fail(reason);
}

void CliSender::onDeviceLost(const QString& reason)
{
    if (!m_running)
        return;
    fail(tr("%1 The send was stopped after %2 of %3 bytes.")
             .arg(reason)
             .arg(m_sender.sentCount())
             .arg(m_length));
}

void CliSender::interrupt(const QString& why)
{
    if (!m_running)
        return;
    // What was handed over but still waits in the port never reaches the line: the discard
    // silences it at once, so it does not count as sent.
    const qint64 sent = m_sender.sentCount() - std::max<qint64>(0, m_port.OutBufferCount());
    m_port.discardOutput();
    fail(tr("Stopped by %1 after %2 of %3 bytes were sent to %4.")
             .arg(why)
             .arg(sent)
             .arg(m_length)
             .arg(m_port.describe()));
}

void CliSender::fail(const QString& reason)
{
    close();
    m_progress.finish(QStringLiteral("marlune: ") + oneLine(reason));
    emit done(CommandLine::exitFailure);
}

void CliSender::close()
{
    m_running = false;
    m_sender.stop();
    m_files.close(m_fileNumber);
    m_port.setPortOpen(false);
}
