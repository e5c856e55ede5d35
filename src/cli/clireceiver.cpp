#include "cli/clireceiver.h"

#include "cli/commandline.h"
#include "cli/progressprinter.h"
#include "platform/serialport.h"
#include "transfer/receivetarget.h"

#include <algorithm>
#include <memory>
#include <unistd.h>

namespace {

// Often enough that --idle ends within a tenth of a second of its time; rarely enough to cost
// nothing.
constexpr int checkIntervalMs = 100;
// How long standard output's reader may take nothing after the end before the rest is given up.
constexpr int passOnWaitMs = 1000;

} // namespace

CliReceiver::CliReceiver(SerialPort& port, ProgressPrinter& progress, QObject* parent)
    : QObject(parent), m_port(port), m_progress(progress), m_receiver(port)
{
    m_checkTimer.setInterval(checkIntervalMs);
    connect(&m_checkTimer, &QTimer::timeout, this, &CliReceiver::check);
    m_timeoutTimer.setSingleShot(true);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &CliReceiver::onTimeout);
    m_passOnTimer.setSingleShot(true);
    connect(&m_passOnTimer, &QTimer::timeout, this,
            [this] { stopPassingOn(tr("its reader took none of them for a second")); });
    connect(&m_receiver, &FileReceiver::stored, this, &CliReceiver::onStored);
    connect(&m_receiver, &FileReceiver::failed, this, &CliReceiver::onFailed);
    connect(&m_output, &StreamOutput::tookMore, this, &CliReceiver::onOutputTookMore);
    connect(&m_output, &StreamOutput::failed, this, [this](const QString& why) {
        if (m_passingOn)
            stopPassingOn(why);
    });
}

bool CliReceiver::start(const QString& path, bool force, const Limits& limits, QString* error)
{
    m_limits = limits;
    auto target = std::make_unique<ReceiveTarget>();
    if (!openTarget(path, force, target.get(), error))
        return false;
    m_name = target->displayName();
    if (m_limits.maxBytes)
        target->setLimit(*m_limits.maxBytes);
    // With a timeout, a reception that gets nothing leaves the file as it was.
    const auto claim =
        limits.timeoutMs ? FileReceiver::Claim::AtFirstByte : FileReceiver::Claim::AtStart;
    if (!m_receiver.start(std::move(target), error, claim))
        return false;
    m_progress.showWaiting(tr("Waiting for data on %1 at %2 ... (Ctrl-C ends)")
                               .arg(m_port.describe(), m_port.Settings()));
    m_checkTimer.start();
    if (limits.timeoutMs)
        m_timeoutTimer.start(std::chrono::milliseconds(*limits.timeoutMs));
    return true;
}

bool CliReceiver::openTarget(const QString& path, bool force, ReceiveTarget* target, QString* error)
{
    if (path == CommandLine::standardStream) {
        if (!m_output.open(STDOUT_FILENO, error))
            return false;
        target->openStream(m_output);
        m_toStandardOutput = true;
        return true;
    }
    if (!target->open(path, error))
        return false;
    if (!force && target->holdsData()) {
        *error = tr("%1 is not empty; use --force to overwrite it.").arg(path);
        return false;
    }
    return true;
}

void CliReceiver::onStored(QByteArrayView bytes)
{
    if (!m_sinceFirstByte.isValid()) {
        m_sinceFirstByte.start();
        m_timeoutTimer.stop();
        m_progress.start(-1, tr("received"));
    }
    m_lastByteMs = m_sinceFirstByte.elapsed();
    // Past the limit the bytes are not kept, so the checksum stops there too.
    const qint64 newlyKept = kept() - (m_receiver.receivedCount() - bytes.size());
    m_hash.addData(bytes.first(std::clamp<qint64>(newlyKept, 0, bytes.size())));
    m_progress.update(kept());
    if (m_limits.maxBytes && m_receiver.receivedCount() >= *m_limits.maxBytes)
        endSoon(QStringLiteral("--max-bytes"));
}

void CliReceiver::onTimeout()
{
    // Bytes that arrived a moment ago and still wait in the port count as a first byte.
    if (!m_receiver.giveBack())
        return;
    m_checkTimer.stop();
    const QString leftAlone =
        m_toStandardOutput ? QString() : tr("; %1 was left as it was found").arg(m_name);
    m_progress.finish(QStringLiteral("marlune: ") + tr("No data arrived on %1 within %2 s%3.")
                                                        .arg(m_port.describe())
                                                        .arg(double(*m_limits.timeoutMs) / 1000)
                                                        .arg(leftAlone));
    emit done(CommandLine::exitFailure);
}

void CliReceiver::check()
{
    // A tail shorter than a block reaches the file within a twentieth of a second, so the time
    // of the last stored byte is the time of the last byte, near enough for --idle. While
    // standard output's reader takes nothing, the line's bytes wait in the port: they count for
    // --max-bytes all the same, and --idle ends a reception whose reader stalled.
    if (m_limits.idleMs && m_sinceFirstByte.isValid() &&
        m_sinceFirstByte.elapsed() - m_lastByteMs >= *m_limits.idleMs)
        endSoon(QStringLiteral("--idle"));
    if (m_limits.maxBytes && m_receiver.isReceiving() &&
        m_receiver.receivedCount() + std::max<qint64>(0, m_port.InBufferCount()) >=
            *m_limits.maxBytes)
        endSoon(QStringLiteral("--max-bytes"));
}

void CliReceiver::endSoon(const QString& why)
{
    // Not from inside the receiver's own report of a block: the end closes what it works with.
    if (m_endQueued)
        return;
    m_endQueued = true;
    QMetaObject::invokeMethod(
        this, [this, why] { end(why, false); }, Qt::QueuedConnection);
}

void CliReceiver::stop(const QString& why)
{
    end(why, true);
}

void CliReceiver::end(const QString& why, bool bySignal)
{
    if (m_passingOn && bySignal) {
        stopPassingOn(tr("stopped by %1").arg(why));
        return;
    }
    if (!m_receiver.isReceiving())
        return;
    m_checkTimer.stop();
    m_timeoutTimer.stop();
    QString failure;
    // Collects and writes what still waits in the port, then closes the file and the port.
    const bool ok = m_receiver.finish(&failure);
    if (!ok)
        m_progress.error(failure);
    m_exitCode = ok ? CommandLine::exitSuccess : CommandLine::exitFailure;
    m_ending = tr(", ended by %1").arg(why);
    if (const qint64 dropped = m_receiver.receivedCount() - kept(); dropped > 0) {
        // They were taken off the line with the rest; nobody else can have them now.
        m_ending += tr(" (%1 more bytes arrived and were not kept)").arg(dropped);
    }
    passOnThenConclude(bySignal);
}

void CliReceiver::passOnThenConclude(bool bySignal)
{
    if (!m_output.hasFailed() && m_output.backlog() > 0) {
        // The reader gets a second to take the rest: counted from the end after a stop signal,
        // from the last bytes it took otherwise.
        m_passingOn = true;
        m_endedBySignal = bySignal;
        m_passOnTimer.start(passOnWaitMs);
        return;
    }
    conclude();
}

void CliReceiver::onOutputTookMore()
{
    if (!m_passingOn)
        return;
    if (m_output.backlog() == 0) {
        conclude();
        return;
    }
    if (!m_endedBySignal)
        m_passOnTimer.start(passOnWaitMs);
}

void CliReceiver::stopPassingOn(const QString& why)
{
    m_progress.error(tr("The last %1 bytes could not be passed on to %2: %3.")
                         .arg(m_output.backlog())
                         .arg(StreamOutput::name(), why));
    m_output.close();
    m_exitCode = CommandLine::exitFailure;
    conclude();
}

void CliReceiver::conclude()
{
    m_passingOn = false;
    m_passOnTimer.stop();
    m_progress.finish(summary());
    emit done(m_exitCode);
}

void CliReceiver::onFailed(const QString& message)
{
    m_checkTimer.stop();
    m_timeoutTimer.stop();
    m_progress.error(message);
    m_ending.clear();
    m_exitCode = CommandLine::exitFailure;
    // What was read before the device went away still goes to standard output's reader.
    passOnThenConclude(false);
}

qint64 CliReceiver::kept() const
{
    const qint64 received = m_receiver.receivedCount();
    return m_limits.maxBytes ? std::min(received, *m_limits.maxBytes) : received;
}

QString CliReceiver::summary() const
{
    const qint64 stored = kept();
    // From the first byte to the last: the wait before and the quiet time after are no part
    // of the transfer's rate.
    const QString rate = ProgressPrinter::formatRate(stored, m_lastByteMs);
    return tr("Received %1 bytes into %2 from %3 at %4 in %5 s%6%7; SHA-256 %8")
        .arg(stored)
        .arg(m_name, m_port.describe(), m_port.Settings())
        .arg(double(m_lastByteMs) / 1000, 0, 'f', 2)
        .arg(rate.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(rate), m_ending,
             QString::fromLatin1(m_hash.hex()));
}
