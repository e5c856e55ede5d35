#include "transfer/modemsender.h"

#include "platform/serialport.h"
#include "transfer/transfertext.h"
#include "transfer/ymodemheader.h"

#include <QFileInfo>

#include <algorithm>

using namespace ModemBlock;

namespace {

// Some receivers (lrzsz's among them) throw away their input right after they answer; where the
// answer crosses the line at once (a pseudo-terminal), the next block may arrive in that moment
// and be lost. Once a block had to be sent again, each block waits this long after the answer:
// nothing next to a block's own time on a real line.
constexpr int turnaroundMs = 1;

} // namespace

ModemSender::ModemSender(SerialPort& port, QObject* parent) : QObject(parent), m_port(port)
{
    m_startTimer.setSingleShot(true);
    connect(&m_startTimer, &QTimer::timeout, this, [this] {
        fail(Ending::Failed, tr("the receiver did not begin within %1")
                                 .arg(ModemOptions::seconds(m_options.startTimeoutMs)));
    });
    m_answerTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, &ModemSender::onTimeout);
    m_turnaroundTimer.setSingleShot(true);
    m_turnaroundTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_turnaroundTimer, &QTimer::timeout, this, &ModemSender::writeCurrent);
    connect(&m_port, &SerialPort::deviceLost, this, [this](const QString& reason) {
        if (isRunning())
            end(Ending::DeviceLost, tr("The device went away (%1) while sending %2: %3 bytes had "
                                       "been acknowledged.")
                                        .arg(reason, m_sourceName)
                                        .arg(m_acknowledged));
    });
}

ModemSender::~ModemSender()
{
    if (isRunning()) {
        blockSignals(true);
        cancel();
    }
}

ModemSender::Start ModemSender::start(const QString& path, const ModemOptions& options,
                                      QString* error)
{
    if (m_port.PortOpen() && !m_port.setPortOpen(true, error))
        return Start::PortRefused;
    auto source = std::make_unique<SendSource>();
    if (!source->open(path, error))
        return Start::FileRefused;
    if (!m_port.setPortOpen(true, error))
        return Start::PortRefused;
    // Each block waits for its answer: see ModemReceiver::start.
    m_port.setLowLatency(true);
    m_source = std::move(source);
    m_options = options;
    m_sourceName = m_source->displayName();
    m_fileName = QFileInfo(path).fileName();
    m_length = m_source->length();
    m_crc = true;
    m_blockSize = smallSize;
    m_blockIndex = options.protocol == TransferProtocol::Ymodem ? 0 : 1;
    m_blockBytes = 0;
    m_pending.clear();
    m_acknowledged = 0;
    m_starting = true;
    m_tries = 0;
    m_cans = 0;
    m_pauseBeforeBlocks = false;
    m_report.begin(TransferReport::Direction::Send, m_length);
    m_phase = Phase::AwaitingCall;
    m_port.input().setConsumer([this](QByteArrayView bytes, bool) { return take(bytes); }, {});
    m_startTimer.start(m_options.startTimeoutMs);
    return Start::Started;
}

void ModemSender::cancel(const QString& why)
{
    if (!isRunning())
        return;
    m_port.output().write(cancelSequence());
    const QString cause = why.isEmpty() ? tr("as asked") : tr("by %1").arg(why);
    end(Ending::Cancelled, tr("The send of %1 was cancelled %2 at %3; the receiver acknowledged "
                              "%4 of %5 bytes.")
                               .arg(m_sourceName, cause, blockName())
                               .arg(m_acknowledged)
                               .arg(m_length));
}

qint64 ModemSender::take(QByteArrayView bytes)
{
    // Once an answer sent something, the rest of what came is stale: the far end sent it before
    // it saw ours (a boot ROM's run of NAKs, say).
    for (const char byte : bytes) {
        if (!answer(byte))
            break;
    }
    return bytes.size();
}

bool ModemSender::answer(char byte)
{
    if (m_phase == Phase::Idle)
        return false;
    if (byte == CAN) {
        if (++m_cans >= 2) {
            end(Ending::Refused,
                tr("The receiver cancelled the send of %1 at %2; it acknowledged %3 of %4 bytes.")
                    .arg(m_sourceName, blockName())
                    .arg(m_acknowledged)
                    .arg(m_length));
            return false;
        }
        return true;
    }
    m_cans = 0;
    const bool call = byte == CRC || byte == NAK;
    switch (m_phase) {
    case Phase::AwaitingCall:
        if (!call)
            return true;
        onCall(byte);
        return false;
    case Phase::AwaitingAck:
        if (byte == ACK) {
            onAck();
            // YMODEM's receiver acknowledges the header and calls for the data at once: the
            // call may come with the ACK.
            return m_phase == Phase::AwaitingDataCall;
        }
        if (!call)
            return true;
        if (m_starting && (byte == CRC || !m_crc)) {
            // The receiver's call for the first block, again: a device not ready yet. Such runs
            // are waited through up to the start timeout, not counted as refusals. A NAK for a
            // block sent with a CRC is a refusal.
            onCall(byte);
            return false;
        }
        if (byte == NAK)
            retry(tr("the receiver refused it"));
        return false;
    case Phase::AwaitingDataCall:
        if (!call)
            return true;
        m_crc = byte == CRC;
        m_blockSize = m_crc ? largeSize : smallSize;
        m_tries = 0;
        if (frameCurrent())
            sendCurrent();
        return false;
    case Phase::AwaitingEotAck:
        if (byte == ACK) {
            if (m_options.protocol != TransferProtocol::Ymodem) {
                end(Ending::Finished);
                return false;
            }
            m_phase = Phase::AwaitingFinalCall;
            m_tries = 0;
            m_answerTimer.start(m_options.blockTimeoutMs);
            return true;
        }
        if (byte == NAK)
            retry(tr("the receiver refused it"));
        return false;
    case Phase::AwaitingFinalCall:
        if (!call)
            return true;
        m_crc = byte == CRC;
        m_frame = frame(0, {}, smallSize, m_crc, '\0');
        m_phase = Phase::AwaitingFinalAck;
        sendCurrent();
        return false;
    case Phase::AwaitingFinalAck:
        if (byte == ACK) {
            end(Ending::Finished);
            return false;
        }
        if (call)
            retry(tr("the receiver refused it"));
        return false;
    case Phase::Idle:
        break;
    }
    return false;
}

void ModemSender::onCall(char call)
{
    m_crc = call == CRC;
    // 1K blocks go with a CRC only: a receiver asking for checksums gets 128-byte blocks.
    m_blockSize = m_crc && m_options.protocol != TransferProtocol::Xmodem ? largeSize : smallSize;
    if (frameCurrent())
        sendCurrent();
}

void ModemSender::onAck()
{
    m_tries = 0;
    if (m_starting) {
        m_starting = false;
        m_startTimer.stop();
    }
    if (m_blockIndex == 0) {
        // YMODEM's header: the data follow the receiver's next call.
        m_blockIndex = 1;
        m_phase = Phase::AwaitingDataCall;
        m_answerTimer.start(m_options.blockTimeoutMs);
        return;
    }
    m_acknowledged += m_blockBytes;
    m_pending.remove(0, m_blockBytes);
    m_blockBytes = 0;
    ++m_blockIndex;
    m_report.setCount(m_acknowledged);
    emit progressed();
    if (frameCurrent())
        sendCurrent();
}

bool ModemSender::frameCurrent()
{
    if (m_blockIndex == 0) {
        const QByteArray header = YmodemHeader::encode(m_fileName, m_length);
        m_frame = frame(0, header, header.size() <= smallSize ? smallSize : largeSize, m_crc, 0);
        m_phase = Phase::AwaitingAck;
        return true;
    }
    const qint64 left = m_length - m_acknowledged;
    if (left == 0) {
        m_frame = QByteArray(1, EOT);
        m_phase = Phase::AwaitingEotAck;
        return true;
    }
    const qint64 wanted = std::min<qint64>(m_blockSize, left);
    if (m_pending.size() < wanted) {
        const qint64 missing = wanted - m_pending.size();
        const qsizetype had = m_pending.size();
        m_pending.resize(had + missing);
        QString error;
        if (m_source->read(m_pending.data() + had, missing, m_acknowledged, &error) < 0) {
            fail(Ending::SourceFailed, error);
            return false;
        }
        m_report.hash(QByteArrayView(m_pending).sliced(had));
    }
    m_blockBytes = wanted;
    // A short last block of a 1K protocol goes as a 128-byte block where it fits: less padding
    // on the line.
    const int size = wanted <= smallSize ? smallSize : m_blockSize;
    m_frame =
        frame(quint8(m_blockIndex), QByteArrayView(m_pending).first(wanted), size, m_crc, SUB);
    m_phase = Phase::AwaitingAck;
    return true;
}

void ModemSender::sendCurrent()
{
    m_answerTimer.stop();
    if (m_pauseBeforeBlocks)
        m_turnaroundTimer.start(turnaroundMs);
    else
        writeCurrent();
}

void ModemSender::writeCurrent()
{
    if (!isRunning())
        return;
    m_port.output().write(m_frame);
    m_answerTimer.start(m_options.blockTimeoutMs);
}

void ModemSender::onTimeout()
{
    const QString why =
        tr("no answer within %1").arg(ModemOptions::seconds(m_options.blockTimeoutMs));
    if (m_phase == Phase::AwaitingDataCall || m_phase == Phase::AwaitingFinalCall) {
        // Nothing to send again: the receiver's call is due.
        if (++m_tries > m_options.retries) {
            fail(Ending::Failed, why);
            return;
        }
        m_answerTimer.start(m_options.blockTimeoutMs);
        return;
    }
    retry(why);
}

void ModemSender::retry(const QString& why)
{
    if (++m_tries > m_options.retries) {
        fail(Ending::Failed,
             tr("%1, %2 times; the send was given up").arg(why).arg(m_options.retries + 1));
        return;
    }
    m_pauseBeforeBlocks = true;
    sendCurrent();
}

QString ModemSender::blockName() const
{
    if (m_phase == Phase::AwaitingCall)
        return tr("the start, before any block");
    if (m_phase == Phase::AwaitingEotAck)
        return tr("the end of the file (EOT)");
    if (m_phase == Phase::AwaitingFinalCall || m_phase == Phase::AwaitingFinalAck)
        return tr("the end of the batch (empty header)");
    if (m_blockIndex == 0)
        return tr("block 0 (the header)");
    return tr("block %1 (bytes %2 to %3)")
        .arg(m_blockIndex)
        .arg(m_acknowledged)
        .arg(m_acknowledged + std::max<qint64>(m_blockBytes, 1) - 1);
}

void ModemSender::fail(Ending ending, const QString& why)
{
    if (!isRunning())
        return;
    if (m_port.PortOpen())
        m_port.output().write(cancelSequence());
    end(ending, tr("The send of %1 failed at %2: %3. The receiver acknowledged %4 of %5 bytes.")
                    .arg(m_sourceName, blockName(), why)
                    .arg(m_acknowledged)
                    .arg(m_length));
}

void ModemSender::end(Ending ending, const QString& message)
{
    if (m_phase == Phase::Idle)
        return;
    m_phase = Phase::Idle;
    m_startTimer.stop();
    m_answerTimer.stop();
    m_turnaroundTimer.stop();
    m_source.reset();
    m_port.setPortOpen(false);
    m_port.input().clearConsumer();
    m_pending = QByteArray();
    m_frame = QByteArray();
    m_report.setCount(m_acknowledged);
    m_report.end();
    emit progressed();
    emit ended({ending, m_acknowledged, message});
}
