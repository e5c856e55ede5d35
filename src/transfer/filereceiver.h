#pragma once

#include "transfer/receivetarget.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <memory>

class SerialPort;

// Stores what arrives on the port into a file (or passes it on to standard output), in arrival
// order: in batches up to a 256 KiB boundary of the file (a fast line), and whatever waits once
// its oldest byte has waited a twentieth of a second (a slow line, or the end of a transfer), so
// the file always holds everything that arrived but the last moments, whatever ends the program,
// at the price of few writes. Each write reaches the system before the handler returns. Bytes
// that arrive while no reception runs are thrown away.
//
// A reception owns its file and the port from `start` to its end, closes both whichever way it
// ends, and follows the loss of the device itself. While a target has no room (standard output
// whose reader is slow), the bytes wait in the port, and once it is full, in the system.
class FileReceiver : public QObject
{
    Q_OBJECT

public:
    // A receive block: the unit in which bytes are taken from the port, and the notification
    // threshold.
    static constexpr int blockSize = 512;
    // Bytes waiting are written, whatever their age, once they reach the next multiple of this
    // in the file.
    static constexpr qint64 writeBatch = 256 * 1024;
    // At most this much is taken and written at once; the port raises the next notification at
    // once for the rest.
    static constexpr qint64 maxBatch = 1024 * 1024;
    // How long bytes may wait in the port before they are written all the same.
    static constexpr int tailWaitMs = 50;

    // When the target's old content goes.
    enum class Claim
    {
        AtStart,     // once the port is open
        AtFirstByte, // when the first byte arrives, so a reception that gets none can give the
                     // target back as it was found (`giveBack`)
    };

    explicit FileReceiver(SerialPort& port, QObject* parent = nullptr);
    ~FileReceiver() override;

    // Receives into `target` (open, its content still in place): opens the port unless the
    // reception running already holds it, then empties the target as `claim` says. A reception
    // already running hands over: its file holds every byte stored so far and is closed. False,
    // with the message for the user, when it cannot start; the target is then given back as it
    // was found.
    bool start(std::unique_ptr<ReceiveTarget> target, QString* error, Claim claim = Claim::AtStart);
    // Ends the reception: what still waits in the port is written (a target not claimed yet is
    // claimed now), then the file and the port are closed. False, with the message for the
    // user, when the last bytes could not be written or the file was deleted meanwhile.
    bool finish(QString* error);
    // Ends a reception that has not claimed its target and has no byte waiting, giving the
    // target back as it was found. False, and the reception goes on, when bytes came.
    bool giveBack();

    bool isReceiving() const { return m_target != nullptr; }
    QString path() const { return m_target ? m_target->path() : QString(); }
    // The bytes that reached the file.
    qint64 receivedCount() const { return m_receivedCount; }
    // The last 512 bytes stored (fewer at the start).
    QByteArray lastBlock() const { return m_lastBlock; }

signals:
    // These bytes reached the file, following those reported before; receivedCount and
    // lastBlock already include them. The view is valid only during the call.
    void stored(QByteArrayView bytes);
    // The reception ended by itself (a write failed, the device went away); the file and the
    // port are closed, and `message` says how much was saved.
    void failed(const QString& message);

private:
    void onComm();
    // Takes what waits in the port, as much as the target has room for.
    void takeFromPort();
    void onDeviceLost(const QString& reason);
    // A write failed, now or in the background: the reception stops with what was saved.
    void stopOnWriteFailure(const QString& why);
    // Writes what was read from the port, counts what reached the file and reports it.
    bool store(QByteArrayView bytes, QString* error);
    // Closes the file; true when it still had a name, so the bytes can be found.
    bool closeTarget();
    QString lostFileMessage() const;
    // Bytes that reached the target's file or its reader.
    qint64 savedCount() const;

    SerialPort& m_port;
    std::unique_ptr<ReceiveTarget> m_target;
    QString m_name; // the target, as messages name it
    bool m_claimed = false;
    qint64 m_receivedCount = 0;
    QByteArray m_lastBlock;
};
