#include "app/clireceiver.h"

#include "app/commandline.h"
#include "app/progressprinter.h"
#include "platform/serialport.h"
#include "transfer/receivetarget.h"

#include <QFile>

#include <algorithm>
#include <memory>

namespace {

// Often enough that --idle ends within a tenth of a second of its time; rarely enough to cost
// nothing.
constexpr int checkIntervalMs = 100;

} // namespace

CliReceiver::CliReceiver(SerialPort& port, ProgressPrinter& progress, QObject* parent)
    : QObject(parent), m_port(port), m_progress(progress), m_receiver(port)
{
    m_checkTimer.setInterval(checkIntervalMs);
    connect(&m_checkTimer, &QTimer::timeout, this, &CliReceiver::check);
    connect(&m_receiver, &FileReceiver::stored, this, &CliReceiver::onStored);
    connect(&m_receiver, &FileReceiver::failed, this, &CliReceiver::onFailed);
}

bool CliReceiver::start(const QString& path, bool force, const Limits& limits, QString* error)
{
    m_path = path;
    m_limits = limits;
    auto target = std::make_unique<ReceiveTarget>();
    if (!target->open(path, error))
        return false;
    if (!force && target->holdsData()) {
        *error = tr("%1 is not empty; use --force to overwrite it.").arg(path);
        return false;
    }
    if (!m_receiver.start(std::move(target), error))
        return false;
    m_progress.showWaiting(tr("Waiting for data on %1 at %2 ... (Ctrl-C ends)")
                               .arg(m_port.describe(), m_port.Settings()));
    m_checkTimer.start();
    return true;
}

void CliReceiver::onStored(QByteArrayView bytes)
{
    if (!m_sinceFirstByte.isValid()) {
        m_sinceFirstByte.start();
        m_progress.start(-1, tr("received"));
    }
    m_lastByteMs = m_sinceFirstByte.elapsed();
    // Past the limit the file is cut back at the end, so the checksum stops there too.
    qint64 take = bytes.size();
    if (m_limits.maxBytes)
        take = std::clamp<qint64>(*m_limits.maxBytes - m_hashed, 0, take);
    if (take > 0) {
        m_hash.addData(bytes.first(take));
        m_hashed += take;
    }
    const qint64 stored = m_receiver.receivedCount();
    m_progress.update(m_limits.maxBytes ? std::min(stored, *m_limits.maxBytes) : stored);
    if (m_limits.maxBytes && stored >= *m_limits.maxBytes)
        endSoon(QStringLiteral("--max-bytes"));
}

void CliReceiver::check()
{
    // A tail shorter than a block reaches the file within a twentieth of a second, so the time
    // of the last stored byte is the time of the last byte, near enough for --idle.
    if (m_limits.idleMs && m_sinceFirstByte.isValid() &&
        m_sinceFirstByte.elapsed() - m_lastByteMs >= *m_limits.idleMs)
        endSoon(QStringLiteral("--idle"));
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
    if (!m_receiver.isReceiving())
        return;
    m_checkTimer.stop();
    QString failure;
    // Collects and writes what still waits in the port, then closes the file and the port.
    bool ok = m_receiver.finish(&failure);
    const qint64 stored = m_receiver.receivedCount();
    if (ok && m_limits.maxBytes && stored > *m_limits.maxBytes &&
        !QFile::resize(m_path, *m_limits.maxBytes)) {
        ok = false;
        failure = tr("Cannot cut \"%1\" to %2 bytes; it holds %3.")
                      .arg(m_path)
                      .arg(*m_limits.maxBytes)
                      .arg(stored);
    }
    if (!ok)
        m_progress.message(QStringLiteral("marlune: ") + ProgressPrinter::oneLine(failure));
    QString ending = tr(", ended by %1").arg(why);
    if (ok && m_limits.maxBytes && stored > *m_limits.maxBytes) {
        // They were taken off the line with the rest; nobody else can have them now.
        ending += tr(" (%1 more bytes arrived and were not kept)").arg(stored - *m_limits.maxBytes);
    }
    m_progress.finish(summary(ending));
    emit done(ok ? CommandLine::exitSuccess : CommandLine::exitFailure);
}

void CliReceiver::onFailed(const QString& message)
{
    m_checkTimer.stop();
    m_progress.message(QStringLiteral("marlune: ") + ProgressPrinter::oneLine(message));
    m_progress.finish(summary(QString()));
    emit done(CommandLine::exitFailure);
}

QString CliReceiver::summary(const QString& ending) const
{
    const qint64 stored = m_limits.maxBytes
                              ? std::min(m_receiver.receivedCount(), *m_limits.maxBytes)
                              : m_receiver.receivedCount();
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
