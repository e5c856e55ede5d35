#include "app/clireceiver.h"

#include "app/commandline.h"
#include "app/progressprinter.h"
#include "platform/serialport.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' '));
}

// Often enough that --idle ends within a tenth of a second of its time and the count shown
// includes bytes the receiver has not taken yet; rarely enough to cost nothing.
constexpr int checkIntervalMs = 100;

} // namespace

CliReceiver::CliReceiver(SerialPort& port, ProgressPrinter& progress, QObject* parent)
    : QObject(parent), m_port(port), m_progress(progress), m_receiver(port, m_files)
{
    m_checkTimer.setInterval(checkIntervalMs);
    connect(&m_checkTimer, &QTimer::timeout, this, &CliReceiver::check);
    connect(&m_receiver, &FileReceiver::stored, this, &CliReceiver::onStored);
    connect(&m_receiver, &FileReceiver::blockReceived, this, &CliReceiver::check);
    connect(&m_receiver, &FileReceiver::failed, this, &CliReceiver::onFailed);
    connect(&m_port, &SerialPort::deviceLost, this, &CliReceiver::onDeviceLost);
}

CliReceiver::~CliReceiver()
{
    close();
}

bool CliReceiver::start(const QString& path, bool force, const Limits& limits, QString* error)
{
    m_path = path;
    m_limits = limits;
    const QFileInfo info(path);
    const bool existed = info.exists();
    if (!force && existed && info.isFile() && info.size() > 0) {
        *error = tr("%1 is not empty; use --force to overwrite it.").arg(path);
        return false;
    }
    m_fileNumber = m_files.FreeFile();
    QString why;
    if (!m_files.open(m_fileNumber, path, FileTable::Mode::ReadWrite, &why)) {
        *error = tr("Cannot receive into \"%1\": %2").arg(path, why);
        return false;
    }
    // Gives the file back as it was found.
    const auto abandon = [&] {
        m_files.close(m_fileNumber);
        if (!existed)
            QFile::remove(path);
    };
    if (!m_port.setPortOpen(true, &why)) {
        abandon();
        *error = why;
        return false;
    }
    // The old content goes only now that the reception can really start.
    if (m_files.length(m_fileNumber) > 0 && !m_files.truncate(m_fileNumber, &why)) {
        abandon();
        m_port.setPortOpen(false);
        *error = tr("Cannot empty \"%1\": %2").arg(path, why);
        return false;
    }
    m_receiver.begin(m_fileNumber, path);
    m_receiving = true;
    m_progress.showWaiting(tr("Waiting for data on %1 at %2 ... (Ctrl-C ends)")
                               .arg(m_port.describe(), m_port.Settings()));
    m_checkTimer.start();
    return true;
}

void CliReceiver::onStored(QByteArrayView bytes)
{
    // Past the limit the file is cut back at the end, so the checksum stops there too.
    qint64 take = bytes.size();
    if (m_limits.maxBytes)
        take = std::clamp<qint64>(*m_limits.maxBytes - m_hashed, 0, take);
    if (take > 0) {
        m_hash.addData(bytes.first(take));
        m_hashed += take;
    }
}

void CliReceiver::check()
{
    // A port closed under us is a lost device, which reports itself; it is no quiet line.
    if (!m_receiving || !m_port.PortOpen())
        return;
    // The receiver takes whole blocks as they fill; the rest already waits in the port.
    const qint64 seen = m_receiver.ReceivedCount() + std::max<qint64>(0, m_port.receivedNotTaken());
    if (seen > m_seen) {
        if (!m_sinceFirstByte.isValid()) {
            m_sinceFirstByte.start();
            m_progress.start(-1, tr("received"));
        }
        m_seen = seen;
        m_lastByteMs = m_sinceFirstByte.elapsed();
    }
    m_progress.update(m_limits.maxBytes ? std::min(m_seen, *m_limits.maxBytes) : m_seen);
    if (m_limits.maxBytes && m_seen >= *m_limits.maxBytes) {
        endSoon(QStringLiteral("--max-bytes"));
    } else if (m_limits.idleMs && m_sinceFirstByte.isValid() &&
               m_sinceFirstByte.elapsed() - m_lastByteMs >= *m_limits.idleMs) {
        endSoon(QStringLiteral("--idle"));
    }
}

void CliReceiver::endSoon(const QString& why)
{
    // Not from inside the receiver's own report of a block: the end closes what it works with.
    if (m_endQueued)
        return;
    m_endQueued = true;
    QMetaObject::invokeMethod(
        this, [this, why] { end(why); }, Qt::QueuedConnection);
}

void CliReceiver::stop(const QString& why)
{
    end(why);
}

void CliReceiver::end(const QString& why)
{
    if (!m_receiving)
        return;
    m_receiving = false;
    m_checkTimer.stop();
    QString error;
    // Collects and writes what still waits in the port, then closes the file and the port.
    bool ok = m_receiver.finish(&error);
    QString failure;
    if (!ok) {
        failure = tr("Writing the last bytes to \"%1\" failed: %2").arg(m_path, error);
    } else if (m_limits.maxBytes && m_receiver.ReceivedCount() > *m_limits.maxBytes &&
               !QFile::resize(m_path, *m_limits.maxBytes)) {
        ok = false;
        failure = tr("Cannot cut \"%1\" to %2 bytes; it holds %3.")
                      .arg(m_path)
                      .arg(*m_limits.maxBytes)
                      .arg(m_receiver.ReceivedCount());
    }
    close();
    if (!ok)
        m_progress.message(QStringLiteral("marlune: ") + oneLine(failure));
    QString ending = tr(", ended by %1").arg(why);
    if (ok && m_limits.maxBytes && m_receiver.ReceivedCount() > *m_limits.maxBytes) {
        // They were taken off the line with the rest; nobody else can have them now.
        ending += tr(" (%1 more bytes arrived and were not kept)")
                      .arg(m_receiver.ReceivedCount() - *m_limits.maxBytes);
    }
    m_progress.finish(summary(ending));
    emit done(ok ? CommandLine::exitSuccess : CommandLine::exitFailure);
}

void CliReceiver::onFailed(const QString& reason)
{
    if (!m_receiving)
        return;
    m_receiving = false;
    close();
    m_progress.message(QStringLiteral("marlune: ") + oneLine(reason));
    m_progress.finish(summary(QString()));
    emit done(CommandLine::exitFailure);
}

void CliReceiver::onDeviceLost(const QString& reason)
{
    // Stores what the device delivered before it went, then reports through onFailed.
    if (m_receiving)
        m_receiver.endAfterDeviceLoss(reason);
}

QString CliReceiver::summary(const QString& ending) const
{
    const qint64 stored = m_limits.maxBytes
                              ? std::min(m_receiver.ReceivedCount(), *m_limits.maxBytes)
                              : m_receiver.ReceivedCount();
    // From the first byte to the last: the wait before and the quiet time after are no part
    // of the transfer's rate.
    const QString rate = ProgressPrinter::formatRate(stored, m_lastByteMs);
    return tr("Received %1 bytes into \"%2\" from %3 at %4 in %5 s%6%7; SHA-256 %8")
        .arg(stored)
        .arg(m_path, m_port.describe(), m_port.Settings())
        .arg(double(m_lastByteMs) / 1000, 0, 'f', 2)
        .arg(rate.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(rate), ending,
             QString::fromLatin1(m_hash.hex()));
}

void CliReceiver::close()
{
    m_receiving = false;
    m_checkTimer.stop();
    m_files.close(m_fileNumber);
    m_port.setPortOpen(false);
}
