#pragma once

#include "transfer/modemblock.h"
#include "transfer/modemoptions.h"
#include "transfer/sendsource.h"
#include "transfer/transferreport.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class SerialPort;

// Sends one file with XMODEM, XMODEM-1K or YMODEM. The receiver opens the transfer: 'C' asks
// for blocks with a CRC-16, NAK for the old checksum (and then 128-byte blocks, as 1K blocks go
// with a CRC only). Calls that piled up before the send began (a boot ROM that started early)
// are read past, and the first block is offered again on each later call until the start
// timeout. Each block waits for its ACK; a NAK or the block timeout sends it again, up to the
// retry limit. The last block is padded with 0x1A; YMODEM's header tells the receiver the size.
// The send ends only on the receiver's ACK of EOT (YMODEM: of the empty header that ends the
// batch), so the device's next command is not taken for part of the file.
//
// The report counts the file's bytes in acknowledged blocks; its SHA-256 is of the file's bytes,
// not the padding. Cancelling, giving up and running out of tries put CAN CAN on the line.
class ModemSender : public QObject
{
    Q_OBJECT

public:
    enum class Start
    {
        Started,
        FileRefused, // nothing was opened
        PortRefused, // the file was closed again
    };
    enum class Ending
    {
        Finished,     // the receiver acknowledged the end
        Cancelled,    // stopped as asked
        Refused,      // the receiver cancelled
        Failed,       // no answer, or too many tries
        SourceFailed, // the file could not be read
        DeviceLost,   // the device went away
    };
    // How a send ended: the file's bytes the receiver acknowledged and, but for a finished send,
    // the message for the user, which names the block and why.
    struct Outcome
    {
        Ending ending = Ending::Finished;
        qint64 bytes = 0;
        QString message;
    };

    explicit ModemSender(SerialPort& port, QObject* parent = nullptr);
    ~ModemSender() override;

    // Opens the file, then the port, and waits for the receiver's call. On a refusal nothing
    // stays open and `error` says why.
    Start start(const QString& path, const ModemOptions& options, QString* error);
    // Cancels at once with CAN CAN; `ended` reports it before this returns.
    void cancel(const QString& why = {});

    bool isRunning() const { return m_phase != Phase::Idle; }
    qint64 length() const { return m_length; }
    QString sourceName() const { return m_sourceName; }
    const TransferReport& report() const { return m_report; }

signals:
    // The report's count moved: the receiver acknowledged another block.
    void progressed();
    void ended(const ModemSender::Outcome& outcome);

private:
    enum class Phase
    {
        Idle,
        AwaitingCall,      // for the receiver's first 'C' or NAK
        AwaitingAck,       // a block is out
        AwaitingDataCall,  // YMODEM: the header was acknowledged; the 'C' for the data is due
        AwaitingEotAck,    // EOT is out
        AwaitingFinalCall, // YMODEM: the 'C' for the empty header is due
        AwaitingFinalAck,  // YMODEM: the empty header is out
    };

    qint64 take(QByteArrayView bytes);
    // One byte from the receiver; false once the rest of what came is stale.
    bool answer(char byte);
    void onCall(char call);
    void onAck();
    void onTimeout();
    // Frames the block due (or EOT once the file is all acknowledged); false when the file
    // could not be read.
    bool frameCurrent();
    // Sends the current frame, after the turnaround pause once a block had to be sent again.
    void sendCurrent();
    void writeCurrent();
    void retry(const QString& why);
    QString blockName() const;
    void fail(Ending ending, const QString& why);
    void end(Ending ending, const QString& message = {});

    SerialPort& m_port;
    ModemOptions m_options;
    std::unique_ptr<SendSource> m_source;
    Phase m_phase = Phase::Idle;
    QString m_sourceName;
    QString m_fileName;
    qint64 m_length = 0;
    bool m_crc = true;
    int m_blockSize = ModemBlock::smallSize;
    // The block on the line: its number (0 for YMODEM's header), the file's bytes in it, and its
    // frame as sent (EOT alone once the file is all acknowledged).
    qint64 m_blockIndex = 0;
    qint64 m_blockBytes = 0;
    QByteArray m_frame;
    // The file's bytes read and not yet acknowledged: the current block's first.
    QByteArray m_pending;
    qint64 m_acknowledged = 0;
    // Nothing was acknowledged yet: calls and NAKs are the receiver starting, not failures.
    bool m_starting = true;
    int m_tries = 0;
    int m_cans = 0;
    QTimer m_startTimer;
    QTimer m_answerTimer;
    QTimer m_turnaroundTimer;
    bool m_pauseBeforeBlocks = false;
    TransferReport m_report;
};
