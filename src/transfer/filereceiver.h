#pragma once

#include "platform/devicewatch.h"
#include "platform/serialinput.h"
#include "transfer/receivetarget.h"
#include "transfer/transferreport.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class SerialPort;

// Stores what arrives on the port into a file (or passes it on to standard output), in arrival
// order. The port's input offers the bytes by the tail rule: in batches up to a 256 KiB boundary
// of the file (a fast line), and whatever waits once its oldest byte has waited a twentieth of a
// second (a slow line, or the end of a transfer), so the file always holds everything that
// arrived but the last moments, whatever ends the program, at the price of few writes. Each
// write reaches the system before the input's offer returns.
//
// A reception owns its file and the port from `start` to its end, closes both whichever way it
// ends, and follows the loss of the device itself. While a target has no room (standard output
// whose reader is slow), the bytes wait in the port, and once it is full, in the system.
//
// With reconnection on, the loss of the device is a gap, not an end: the file stays open with
// every byte that arrived, the device is watched for under the name it was opened by and its
// stable name, and once it is back the reception goes on appending. The outcome counts the gaps
// and their time.
class FileReceiver : public QObject
{
    Q_OBJECT

public:
    // A receive block: a stream's room is taken in whole blocks, and the window shows the last.
    static constexpr int blockSize = 512;
    // Bytes waiting are written, whatever their age, once they reach the next multiple of this
    // in the file.
    static constexpr qint64 writeBatch = 256 * 1024;
    // How long bytes may wait in the port before they are written all the same.
    static constexpr int tailWaitMs = 50;

    // When the target's old content goes.
    enum class Claim
    {
        AtStart,     // once the port is open
        AtFirstByte, // when the first byte arrives, so a reception that gets none leaves the
                     // target as it was found
    };
    enum class State
    {
        Idle,
        Waiting,   // no byte yet; a target claimed at the first byte is still as it was found
        Receiving, // bytes are reaching the target
    };
    enum class Ending
    {
        Stopped,      // as asked: what still waited was written
        LimitReached, // the reception's limit of bytes was stored
        GivenBack,    // nothing came and the target was left as it was found
        HandedOver,   // a new reception took over the port
        WriteFailed,  // the target took no more (a full disk, standard output's reader gone)
        DeviceLost,   // the device went away; what had arrived was written
    };
    // How a reception ended: the bytes that reached the target, those that arrived past the
    // limit and were not kept, whether the target was left as it was found, and the message for
    // the user when it did not end well (empty otherwise).
    struct Outcome
    {
        Ending ending = Ending::Stopped;
        qint64 saved = 0;
        qint64 notKept = 0;
        bool leftAsFound = false;
        QString message;
        // Times the device went away and came back, and how long it was away in all.
        int gaps = 0;
        qint64 gapMs = 0;
        bool ok() const { return message.isEmpty(); }
    };

    explicit FileReceiver(SerialPort& port, QObject* parent = nullptr);
    ~FileReceiver() override;

    // Receives into `target` (open, its content still in place), keeping at most `limit` bytes:
    // a reception already running hands over (its file holds every byte that arrived and is
    // closed), the port is opened unless it held it, and the target is emptied as `claim` says.
    // False, with the message for the user, when it cannot start; the target is then given back
    // as it was found.
    bool start(std::unique_ptr<ReceiveTarget> target, QString* error, Claim claim = Claim::AtStart,
               std::optional<qint64> limit = std::nullopt);
    // Ends the reception as asked: what still waits in the port is written, then the file and
    // the port are closed. `ended` reports it before this returns.
    void stop();
    // Ends a reception that has had no byte, leaving a target not claimed yet as it was found.
    // False, and the reception goes on, when bytes came.
    bool giveBack();
    // Whether the receptions started from now on outlast the loss of their device.
    void setReconnect(bool on) { m_reconnect = on; }
    bool reconnects() const { return m_reconnect; }
    // The device is away now, in a gap of a reception that reconnects.
    bool isAway() const { return m_away; }

    State state() const { return m_state; }
    bool isReceiving() const { return m_state != State::Idle; }
    QString path() const { return m_target ? m_target->path() : QString(); }
    // The last reception's account, also once it ended.
    const TransferReport& report() const { return m_report; }
    // The last 512 bytes stored (fewer at the start).
    QByteArray lastBlock() const { return m_lastBlock; }

signals:
    // These bytes reached the target, following those reported before; the report and
    // lastBlock already include them. The view is valid only during the call.
    void stored(QByteArrayView bytes);
    // The reception is over, however it ended; the file is closed, and so is the port unless a
    // new reception took it over.
    void ended(const FileReceiver::Outcome& outcome);
    // A reception that reconnects lost its device (`reason`) and waits for it; every byte that
    // arrived is in the file.
    void deviceAway(const QString& reason);
    // The device is back after `gapMs`, and the reception goes on.
    void deviceBack(qint64 gapMs);

private:
    // Takes what the port's input offers, as much as the target has room for.
    qint64 take(QByteArrayView bytes, bool final);
    // Writes bytes that arrived, up to the limit; false, with the reason, when the write failed.
    bool store(QByteArrayView bytes, QString* error);
    void endAtLimit();
    void onDeviceLost(const QString& reason);
    void onDevicePresent(const QString& path);
    void listen();
    // Every finish, stop, failure, loss and handover ends here.
    void end(Ending ending, const QString& why = {});
    QString failureMessage(Ending ending, const QString& why, bool linked) const;
    // Bytes that reached the target's file or its reader.
    qint64 savedCount() const;

    SerialPort& m_port;
    std::unique_ptr<ReceiveTarget> m_target;
    State m_state = State::Idle;
    QString m_name; // the target, as messages name it
    bool m_claimed = false;
    std::optional<qint64> m_limit;
    // Bytes written to the target, and bytes that came past the limit.
    qint64 m_written = 0;
    qint64 m_notKept = 0;
    bool m_limitEndQueued = false;
    // The end is collecting the last bytes: a write that fails now is reported by it.
    bool m_ending = false;
    // Why the last bytes could not be written, when the device went away meanwhile.
    QString m_lastWriteFailure;
    QByteArray m_lastBlock;
    TransferReport m_report;

    bool m_reconnect = false;
    bool m_away = false;
    // The names the device may come back under: as it was opened, and its stable name.
    QStringList m_deviceNames;
    DeviceWatch m_watch;
    QElapsedTimer m_gapClock;
    int m_gaps = 0;
    qint64 m_gapMs = 0;
};
