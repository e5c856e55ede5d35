#include "cli/clireceiver.h"

#include "cli/commandline.h"
#include "cli/progressprinter.h"
#include "platform/serialport.h"
#include "transfer/receivetarget.h"
#include "transfer/transfertext.h"

#include <memory>
#include <unistd.h>

namespace {

// Often enough that --idle ends within a tenth of a second of its time; rarely enough to cost
// nothing.
constexpr int idleCheckMs = 100;
// How long standard output's reader may take nothing after the end before the rest is given up.
constexpr int passOnWaitMs = 1000;

} // namespace

CliReceiver::CliReceiver(SerialPort& port, ProgressPrinter& progress, QObject* parent)
    : QObject(parent), m_port(port), m_progress(progress), m_receiver(port)
{
    m_idleTimer.setInterval(idleCheckMs);
    connect(&m_idleTimer, &QTimer::timeout, this, &CliReceiver::checkIdle);
    m_timeoutTimer.setSingleShot(true);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &CliReceiver::onTimeout);
    m_passOnTimer.setSingleShot(true);
    connect(&m_passOnTimer, &QTimer::timeout, this,
            [this] { stopPassingOn(tr("its reader took none of them for a second")); });
    connect(&m_receiver, &FileReceiver::stored, this, [this](QByteArrayView bytes) {
        // The first bytes: the wait is over, and the progress shows from here.
        if (m_receiver.report().count() == bytes.size()) {
            m_timeoutTimer.stop();
            m_progress.start(m_receiver.report(), tr("received"));
        }
    });
    connect(&m_receiver, &FileReceiver::ended, this, &CliReceiver::onEnded);
    connect(&m_receiver, &FileReceiver::deviceAway, this, [this](const QString& reason) {
        m_progress.message(QStringLiteral("marlune: ") +
                           ProgressPrinter::oneLine(TransferText::deviceAway(reason, m_name)));
    });
    connect(&m_receiver, &FileReceiver::deviceBack, this, [this](qint64 gapMs) {
        m_progress.message(QStringLiteral("marlune: ") +
                           TransferText::deviceBack(m_port.describe(), gapMs));
    });
    connect(&m_output, &StreamOutput::tookMore, this, &CliReceiver::onOutputTookMore);
    connect(&m_output, &StreamOutput::failed, this, [this](const QString& why) {
        if (m_state == State::PassingOn)
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
    // With a timeout, a reception that gets nothing leaves the file as it was.
    const auto claim =
        limits.timeoutMs ? FileReceiver::Claim::AtFirstByte : FileReceiver::Claim::AtStart;
    if (!m_receiver.start(std::move(target), error, claim, limits.maxBytes))
        return false;
    m_state = State::Receiving;
    m_progress.showWaiting(TransferText::waitingForData(m_port.describe(), m_port.Settings()));
    if (limits.idleMs)
        m_idleTimer.start();
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

void CliReceiver::onTimeout()
{
    // Bytes that arrived a moment ago and still wait in the port count as a first byte.
    m_receiver.giveBack();
}

void CliReceiver::checkIdle()
{
    // A tail shorter than a batch reaches the file within a twentieth of a second, so the time
    // of the last stored byte is the time of the last byte, near enough for --idle.
    const TransferReport& report = m_receiver.report();
    if (m_state == State::Receiving && report.lastByteMs() &&
        report.elapsedMs() - *report.lastByteMs() >= *m_limits.idleMs) {
        m_endWhy = QStringLiteral("--idle");
        m_receiver.stop();
    }
}

void CliReceiver::stop(const QString& why)
{
    if (m_state == State::PassingOn) {
        stopPassingOn(tr("stopped by %1").arg(why));
    } else if (m_state == State::Receiving) {
        m_endWhy = why;
        m_endedBySignal = true;
        m_receiver.stop();
    }
}

void CliReceiver::onEnded(const FileReceiver::Outcome& outcome)
{
    m_idleTimer.stop();
    m_timeoutTimer.stop();
    m_exitCode = outcome.ok() ? CommandLine::exitSuccess : CommandLine::exitFailure;
    QString ending;
    switch (outcome.ending) {
    case FileReceiver::Ending::GivenBack:
        m_exitCode = CommandLine::exitFailure;
        conclude(QStringLiteral("marlune: ") +
                 TransferText::noDataWithin(m_port.describe(), m_limits.timeoutMs.value_or(0),
                                            m_toStandardOutput ? QString() : m_name));
        return;
    case FileReceiver::Ending::Stopped:
    case FileReceiver::Ending::LimitReached:
    case FileReceiver::Ending::HandedOver:
        ending = TransferText::receptionEnding(
            outcome.ending == FileReceiver::Ending::LimitReached ? QStringLiteral("--max-bytes")
                                                                 : m_endWhy,
            outcome.notKept, outcome.leftAsFound ? m_name : QString());
        break;
    case FileReceiver::Ending::WriteFailed:
    case FileReceiver::Ending::DeviceLost:
        break;
    }
    if (outcome.gaps > 0)
        ending += TransferText::gaps(outcome.gaps, outcome.gapMs);
    if (!outcome.ok())
        m_progress.error(outcome.message);
    m_summary = TransferText::summaryLine(m_receiver.report(), m_name, m_port.describe(),
                                          m_port.Settings(), ending);
    // What was read before the end still goes to standard output's reader: it gets a second to
    // take it, counted from the end after a stop signal, from the last bytes it took otherwise.
    if (!m_output.hasFailed() && m_output.backlog() > 0) {
        m_state = State::PassingOn;
        m_passOnTimer.start(passOnWaitMs);
        return;
    }
    conclude(m_summary);
}

void CliReceiver::onOutputTookMore()
{
    if (m_state != State::PassingOn)
        return;
    if (m_output.backlog() == 0)
        conclude(m_summary);
    else if (!m_endedBySignal)
        m_passOnTimer.start(passOnWaitMs);
}

void CliReceiver::stopPassingOn(const QString& why)
{
    m_progress.error(TransferText::notPassedOn(m_output.backlog(), StreamOutput::name(), why));
    m_output.close();
    m_exitCode = CommandLine::exitFailure;
    conclude(m_summary);
}

void CliReceiver::conclude(const QString& summary)
{
    m_state = State::Done;
    m_passOnTimer.stop();
    m_progress.finish(summary);
    emit done(m_exitCode);
}
