#include "transfer/modemreceiver.h"

#include "platform/serialport.h"
#include "transfer/modemblock.h"
#include "transfer/transfertext.h"
#include "transfer/ymodemheader.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

using namespace ModemBlock;

namespace {

// How often a receiver calls the sender before the first block.
constexpr int callIntervalMs = 3000;
// Calls with 'C' before an XMODEM receiver tries NAK and the checksum.
constexpr int crcCalls = 3;
// How long the port stays after the end, to acknowledge a repeated EOT or closing header whose
// ACK was lost.
constexpr int lingerMs = 1000;

} // namespace

ModemReceiver::ModemReceiver(SerialPort& port, QObject* parent) : QObject(parent), m_port(port)
{
    connect(&m_callTimer, &QTimer::timeout, this, &ModemReceiver::onCallTimer);
    m_startTimer.setSingleShot(true);
    connect(&m_startTimer, &QTimer::timeout, this, [this] {
        fail(Ending::Failed,
             tr("no sender began within %1").arg(ModemOptions::seconds(m_options.startTimeoutMs)));
    });
    m_silenceTimer.setSingleShot(true);
    connect(&m_silenceTimer, &QTimer::timeout, this, &ModemReceiver::onSilence);
    m_lingerTimer.setSingleShot(true);
    connect(&m_lingerTimer, &QTimer::timeout, this, [this] { end(Ending::Finished); });
    connect(&m_port, &SerialPort::deviceLost, this, [this](const QString& reason) {
        if (isRunning())
            end(Ending::DeviceLost,
                tr("The device went away (%1) at %2.").arg(reason, blockName()));
    });
}

ModemReceiver::~ModemReceiver()
{
    if (isRunning()) {
        blockSignals(true);
        cancel();
    }
}

bool ModemReceiver::start(const QString& path, const ModemOptions& options, bool force,
                          QString* error)
{
    if (isRunning()) {
        *error = tr("A reception is already running.");
        return false;
    }
    m_options = options;
    m_force = force;
    m_folder.clear();
    m_filePath.clear();
    m_target.reset();
    const bool ymodem = options.protocol == TransferProtocol::Ymodem;
    if (QFileInfo(path).isDir()) {
        if (!ymodem) {
            *error = tr("Cannot receive into \"%1\": it is a folder, and %2 sends no file name; "
                        "give a file name.")
                         .arg(path, ModemOptions::title(options.protocol));
            return false;
        }
        m_folder = path;
    } else {
        m_filePath = path;
        if (!openFile(path, error))
            return false;
    }
    if (!m_port.setPortOpen(true, error)) {
        if (m_target)
            m_target->giveBack();
        m_target.reset();
        return false;
    }
    // Each block waits for its answer: a driver that holds received bytes back to fill a USB
    // packet (an FTDI adapter's 16 ms) would add that to every block. Closing the port puts the
    // driver's own setting back; where it has none, the transfer only answers more slowly.
    m_port.setLowLatency(true);
    m_currentPath = m_filePath;
    m_files.clear();
    m_crc = true;
    m_calls = 0;
    m_headerDue = ymodem;
    m_expected = ymodem ? 0 : 1;
    m_size = -1;
    m_fileStored = m_stored = m_heldSub = 0;
    m_tries = 0;
    m_buffer.clear();
    m_phase = Phase::Calling;
    m_report.begin(TransferReport::Direction::Receive, -1);
    m_port.input().setConsumer([this](QByteArrayView bytes, bool) { return take(bytes); }, {});
    send(CRC);
    m_callTimer.start(std::min(callIntervalMs, m_options.blockTimeoutMs));
    m_startTimer.start(m_options.startTimeoutMs);
    return true;
}

bool ModemReceiver::openFile(const QString& path, QString* error)
{
    auto target = std::make_unique<ReceiveTarget>();
    if (!target->open(path, error))
        return false;
    if (target->holdsData() && !m_force) {
        target->giveBack();
        *error = tr("\"%1\" holds data and was left as it was; it is not overwritten unless asked "
                    "to.")
                     .arg(path);
        return false;
    }
    m_target = std::move(target);
    m_claimed = false;
    return true;
}

void ModemReceiver::cancel(const QString& why)
{
    if (!isRunning())
        return;
    send(CAN);
    m_port.output().write(cancelSequence());
    const QString cause = why.isEmpty() ? tr("as asked") : tr("by %1").arg(why);
    end(Ending::Cancelled, tr("The reception was cancelled %1 at %2.").arg(cause, blockName()));
}

qint64 ModemReceiver::take(QByteArrayView bytes)
{
    if (m_phase == Phase::Idle)
        return bytes.size();
    m_buffer.append(bytes.data(), bytes.size());
    process();
    if (m_phase == Phase::Receiving || (m_phase == Phase::Calling && !m_buffer.isEmpty()))
        m_silenceTimer.start(m_options.blockTimeoutMs);
    return bytes.size();
}

void ModemReceiver::process()
{
    while (m_phase != Phase::Idle && !m_buffer.isEmpty()) {
        const char first = m_buffer.front();
        if (first == SOH || first == STX) {
            const Parsed parsed = parse(m_buffer, m_crc);
            if (parsed.status == Parsed::Status::Incomplete) {
                // The sender is busy with this block: no call in between.
                m_callTimer.stop();
                return;
            }
            if (parsed.status == Parsed::Status::Bad) {
                // The rest is the same block or noise: the sender waits for the answer.
                m_buffer.clear();
                refuse(parsed.why);
                return;
            }
            const QByteArray data = parsed.data.toByteArray();
            const quint8 number = parsed.number;
            m_buffer.remove(0, frameLength(first, m_crc));
            onBlock(number, data);
        } else if (first == EOT) {
            m_buffer.remove(0, 1);
            onEot();
        } else if (first == CAN) {
            if (m_buffer.size() < 2)
                return;
            if (m_buffer[1] == CAN) {
                fail(Ending::Refused, tr("the sender cancelled the transfer"));
                return;
            }
            m_buffer.remove(0, 1);
        } else {
            // Noise between blocks, or the tail of a block already refused.
            m_buffer.remove(0, 1);
        }
    }
}

void ModemReceiver::onBlock(quint8 number, QByteArrayView data)
{
    if (m_phase == Phase::Lingering) {
        // The closing header again: its ACK was lost.
        send(ACK);
        return;
    }
    if (m_phase == Phase::Calling) {
        m_phase = Phase::Receiving;
        m_callTimer.stop();
        m_startTimer.stop();
    }
    if (m_headerDue) {
        if (number == 0) {
            onHeader(data);
            return;
        }
        if (!m_files.isEmpty() && number == quint8(m_expected - 1)) {
            send(ACK); // the last block of the file before, again
            return;
        }
        refuse(tr("block %1 came where the header (block 0) was due").arg(number));
        return;
    }
    if (number == quint8(m_expected)) {
        if (!store(data))
            return;
        ++m_expected;
        m_tries = 0;
        send(ACK);
        return;
    }
    if (number == quint8(m_expected - 1)) {
        // Sent again as its ACK was lost: stored already.
        send(ACK);
        if (number == 0)
            send(CRC);
        return;
    }
    refuse(tr("its number is %1 where %2 was due").arg(number).arg(quint8(m_expected)));
}

void ModemReceiver::onHeader(QByteArrayView data)
{
    const YmodemHeader header = YmodemHeader::decode(data);
    if (header.endsBatch()) {
        send(ACK);
        if (m_files.isEmpty() && m_target) {
            // An empty batch: the file named was never claimed.
            m_target->giveBack();
            m_target.reset();
        }
        m_phase = Phase::Lingering;
        m_lingerTimer.start(std::min(lingerMs, m_options.blockTimeoutMs));
        return;
    }
    QString path = m_filePath;
    if (!m_folder.isEmpty()) {
        QString why;
        const QString name = YmodemHeader::safeName(header.name, &why);
        if (name.isEmpty()) {
            fail(Ending::Failed, why);
            return;
        }
        path = QDir(m_folder).filePath(name);
        QString error;
        if (!openFile(path, &error)) {
            fail(Ending::Failed, error);
            return;
        }
    } else if (!m_files.isEmpty()) {
        fail(Ending::Failed, tr("the sender went on with a second file, \"%1\", and a file name "
                                "takes one; give a folder to receive a batch")
                                 .arg(header.name));
        return;
    }
    QString error;
    if (!m_target->claim(&error)) {
        fail(Ending::WriteFailed, error);
        return;
    }
    m_claimed = true;
    m_currentPath = path;
    m_files << path;
    m_size = header.size.value_or(-1);
    if (m_files.size() == 1)
        m_report.begin(TransferReport::Direction::Receive, m_size);
    m_fileStored = 0;
    m_heldSub = 0;
    m_expected = 1;
    m_headerDue = false;
    m_tries = 0;
    send(ACK);
    send(CRC);
}

bool ModemReceiver::store(QByteArrayView bytes)
{
    const auto write = [this](QByteArrayView part) {
        if (part.isEmpty())
            return true;
        QString error;
        qint64 written = 0;
        if (!m_claimed) {
            if (!m_target->claim(&error)) {
                fail(Ending::WriteFailed, error);
                return false;
            }
            m_claimed = true;
            m_files << m_currentPath;
        }
        const bool ok = m_target->write(part, &written, &error);
        m_report.hash(part.first(written));
        m_fileStored += written;
        m_stored += written;
        m_report.setCount(m_stored);
        if (!ok) {
            fail(Ending::WriteFailed, error);
            return false;
        }
        return true;
    };
    bool ok = true;
    if (m_size >= 0) {
        ok = write(bytes.first(std::min<qint64>(bytes.size(), m_size - m_fileStored)));
    } else {
        if (m_heldSub > 0)
            ok = write(QByteArray(m_heldSub, SUB));
        m_heldSub = 0;
        qsizetype end = bytes.size();
        while (end > 0 && bytes[end - 1] == SUB)
            --end;
        m_heldSub = bytes.size() - end;
        ok = ok && write(bytes.first(end));
    }
    emit progressed();
    return ok;
}

void ModemReceiver::onEot()
{
    if (m_phase == Phase::Lingering || (m_headerDue && !m_files.isEmpty())) {
        // The EOT before, again: its ACK was lost.
        send(ACK);
        if (m_phase != Phase::Lingering)
            send(CRC);
        return;
    }
    if (m_headerDue)
        return; // noise before the first header
    if (m_phase == Phase::Calling) {
        // An XMODEM file of no bytes at all: EOT comes before any block.
        m_phase = Phase::Receiving;
        m_callTimer.stop();
        m_startTimer.stop();
        QString error;
        if (!m_claimed) {
            if (!m_target->claim(&error)) {
                fail(Ending::WriteFailed, error);
                return;
            }
            m_claimed = true;
            m_files << m_currentPath;
        }
    }
    if (m_size >= 0 && m_fileStored < m_size) {
        fail(Ending::Failed, tr("the sender ended the file after %1 bytes, short of the %2 its "
                                "header gave")
                                 .arg(m_fileStored)
                                 .arg(m_size));
        return;
    }
    closeFile(true);
    send(ACK);
    if (m_options.protocol == TransferProtocol::Ymodem) {
        m_headerDue = true;
        m_expected = 0;
        m_tries = 0;
        send(CRC);
        return;
    }
    m_phase = Phase::Lingering;
    m_silenceTimer.stop();
    m_lingerTimer.start(std::min(lingerMs, m_options.blockTimeoutMs));
}

void ModemReceiver::onCallTimer()
{
    if (m_phase != Phase::Calling)
        return;
    ++m_calls;
    if (m_options.protocol == TransferProtocol::Xmodem && m_calls >= crcCalls)
        m_crc = m_calls % (2 * crcCalls) < crcCalls;
    send(m_crc ? CRC : NAK);
}

void ModemReceiver::onSilence()
{
    if (m_phase == Phase::Calling) {
        // A block that began and never ended: call again.
        m_buffer.clear();
        send(m_crc ? CRC : NAK);
        m_callTimer.start();
        return;
    }
    if (m_phase != Phase::Receiving)
        return;
    const QString seconds = ModemOptions::seconds(m_options.blockTimeoutMs);
    const bool partial = !m_buffer.isEmpty();
    m_buffer.clear();
    refuse(partial ? tr("it was cut short: the line fell silent for %1").arg(seconds)
                   : tr("nothing came within %1").arg(seconds));
    if (m_phase == Phase::Receiving)
        m_silenceTimer.start(m_options.blockTimeoutMs);
}

void ModemReceiver::refuse(const QString& why)
{
    if (++m_tries > m_options.retries) {
        fail(Ending::Failed,
             tr("%1, and %2 tries failed; the reception was given up").arg(why).arg(m_tries));
        return;
    }
    send(NAK);
}

void ModemReceiver::closeFile(bool complete)
{
    if (!m_target)
        return;
    if (!complete && m_heldSub > 0 && m_claimed) {
        // Not known to be padding: they arrived, so they are the user's.
        qint64 written = 0;
        QString error;
        const QByteArray held(m_heldSub, SUB);
        m_target->write(held, &written, &error);
        m_report.hash(QByteArrayView(held).first(written));
        m_fileStored += written;
        m_stored += written;
        m_report.setCount(m_stored);
    }
    m_heldSub = 0;
    if (!m_claimed)
        m_target->giveBack();
    m_target.reset();
}

void ModemReceiver::send(char byte)
{
    if (m_port.PortOpen())
        m_port.output().write(QByteArray(1, byte));
}

QString ModemReceiver::blockName() const
{
    if (m_phase == Phase::Calling)
        return tr("the start, before any block");
    if (m_headerDue)
        return tr("block 0 (the header)");
    return tr("block %1").arg(m_expected);
}

void ModemReceiver::fail(Ending ending, const QString& why)
{
    if (!isRunning())
        return;
    if (m_port.PortOpen())
        m_port.output().write(cancelSequence());
    QString message = tr("The reception failed at %1: %2.").arg(blockName(), why);
    end(ending, message);
}

void ModemReceiver::end(Ending ending, const QString& message)
{
    if (m_phase == Phase::Idle)
        return;
    const bool midFile = m_target && m_claimed && m_phase != Phase::Lingering;
    const QString current = m_currentPath;
    closeFile(ending == Ending::Finished);
    m_phase = Phase::Idle;
    m_callTimer.stop();
    m_startTimer.stop();
    m_silenceTimer.stop();
    m_lingerTimer.stop();
    m_port.setPortOpen(false);
    m_port.input().clearConsumer();
    m_buffer = QByteArray();
    m_report.end();
    Outcome outcome{ending, m_stored, m_files, message};
    if (ending != Ending::Finished) {
        // Never a partial file left without a word.
        if (midFile)
            outcome.message += tr(" The %1 bytes received of \"%2\" were kept; the file is "
                                  "incomplete.")
                                   .arg(m_fileStored)
                                   .arg(current);
        else if (m_files.isEmpty() && !m_filePath.isEmpty())
            outcome.message += tr(" \"%1\" was left as it was found.").arg(m_filePath);
        const qsizetype complete = m_files.size() - (midFile ? 1 : 0);
        if (complete > 0)
            outcome.message += tr(" Received whole before: %1.")
                                   .arg(m_files.first(complete).join(QStringLiteral(", ")));
    }
    emit progressed();
    emit ended(outcome);
}
