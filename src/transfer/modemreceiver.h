#pragma once

#include "transfer/modemoptions.h"
#include "transfer/receivetarget.h"
#include "transfer/transferreport.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class SerialPort;

// Receives a file with XMODEM or XMODEM-1K (into a file), or a batch with YMODEM (into a folder,
// each file under the sender's base name, or into one file of the user's name). It calls with
// 'C' for blocks with a CRC-16; an XMODEM receiver whose calls go unanswered three times falls
// back to NAK and the checksum. A block with a wrong number's complement, CRC or checksum, or
// cut short by silence, is asked for again with NAK, up to the retry limit; the block before
// the one due, sent again as its ACK was lost, is acknowledged again and not stored twice. EOT is
// taken wherever a block may begin, and a repeated EOT is acknowledged again.
//
// Nothing is padded into the file: XMODEM's last block loses its trailing 0x1A bytes (only the
// last block's, and so also those that were the file's own: the protocol cannot tell them
// apart), YMODEM's file is cut to the size in its header. Each block reaches the file before it
// is acknowledged, but for a run of 0x1A at a block's end, held back until the next block shows
// it was not padding. The report counts the bytes stored; its SHA-256 is of the file's bytes.
class ModemReceiver : public QObject
{
    Q_OBJECT

public:
    enum class Ending
    {
        Finished,    // every file of the transfer is complete
        Cancelled,   // stopped as asked
        Refused,     // the sender cancelled
        Failed,      // no sender, too many bad blocks, or a header that cannot be taken
        WriteFailed, // a file took no more
        DeviceLost,  // the device went away
    };
    struct Outcome
    {
        Ending ending = Ending::Finished;
        qint64 bytes = 0;  // stored, in all files
        QStringList files; // the files written, complete or not
        QString message;   // for any ending but Finished: which block, why, and what was kept
        bool ok() const { return ending == Ending::Finished; }
    };

    explicit ModemReceiver(SerialPort& port, QObject* parent = nullptr);
    ~ModemReceiver() override;

    // Opens the target, then the port, and calls the sender. `path` is a file, or for YMODEM an
    // existing folder. A file that holds data is refused unless `force`; it is emptied at the
    // first block, so a transfer that never begins leaves it as it was found. False, with the
    // message for the user, when it cannot start.
    bool start(const QString& path, const ModemOptions& options, bool force, QString* error);
    // Cancels with CAN CAN; the bytes stored so far stay in the file, as the message says.
    // `ended` reports it before this returns.
    void cancel(const QString& why = {});

    bool isRunning() const { return m_phase != Phase::Idle; }
    // The file being received, or the last one.
    QString currentFile() const { return m_currentPath; }
    const TransferReport& report() const { return m_report; }

signals:
    void progressed();
    void ended(const ModemReceiver::Outcome& outcome);

private:
    enum class Phase
    {
        Idle,
        Calling,   // no block yet: 'C' (or NAK) goes out until the sender begins
        Receiving, // blocks are coming
        Lingering, // all is stored; repeated EOTs and headers are still acknowledged
    };

    qint64 take(QByteArrayView bytes);
    // Reads what is complete in the buffer.
    void process();
    void onBlock(quint8 number, QByteArrayView data);
    void onHeader(QByteArrayView data);
    void onEot();
    void onCallTimer();
    void onSilence();
    // Asks for the block again, or gives up after too many tries.
    void refuse(const QString& why);
    bool openFile(const QString& path, QString* error);
    bool store(QByteArrayView bytes);
    // Closes the file: the held-back 0x1A bytes are dropped as padding when `complete`, kept
    // otherwise.
    void closeFile(bool complete);
    void send(char byte);
    QString blockName() const;
    void fail(Ending ending, const QString& why);
    void end(Ending ending, const QString& message = {});

    SerialPort& m_port;
    ModemOptions m_options;
    Phase m_phase = Phase::Idle;
    bool m_force = false;
    // A folder to receive YMODEM's files into; empty when receiving into one file.
    QString m_folder;
    QString m_filePath;
    std::unique_ptr<ReceiveTarget> m_target;
    bool m_claimed = false;
    QString m_currentPath;
    QStringList m_files;
    bool m_crc = true;
    int m_calls = 0;
    // YMODEM: the header of the next file is due.
    bool m_headerDue = false;
    // The next block's number in the file, and the file's size when its header told it.
    qint64 m_expected = 1;
    qint64 m_size = -1;
    qint64 m_fileStored = 0;
    qint64 m_stored = 0;
    // A run of 0x1A at the end of the last block, not yet known to be the file's.
    qint64 m_heldSub = 0;
    int m_tries = 0;
    QByteArray m_buffer;
    QTimer m_callTimer;
    QTimer m_startTimer;
    QTimer m_silenceTimer;
    QTimer m_lingerTimer;
    TransferReport m_report;
};
