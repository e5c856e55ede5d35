#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

class FileTable;
class SerialPort;

// Stores what arrives on the port into an open file, in whole blocks, in arrival order. What a
// notification takes reaches the operating system before the handler returns, so a crash loses
// nothing that was read. Bytes that arrive while no reception runs are thrown away.
class FileReceiver : public QObject
{
    Q_OBJECT

public:
    // A receive block: the unit in which bytes are taken from the port, and the notification
    // threshold.
    static constexpr int blockSize = 512;
    // At most this much is taken and written at once (whole blocks); the port raises the next
    // notification at once for the rest.
    static constexpr qint64 maxBatch = 1024 * 1024;

    explicit FileReceiver(SerialPort& port, FileTable& files, QObject* parent = nullptr);

    // Receives into the file open under `fileNumber` from its current position, counting from
    // 0. The port must be open. A reception already running hands over to the new file: the
    // earlier file holds every byte read so far and is closed.
    void begin(qint16 fileNumber, const QString& path);
    // Reads what still waits, writes it, then closes the file and the port. False when the
    // last write failed (the file and port are closed all the same).
    bool finish(QString* error);
    // The device went away: what it had delivered is written, the file is closed, and
    // `failed` says so.
    void endAfterDeviceLoss(const QString& reason);

    bool isReceiving() const { return m_receiving; }
    QString path() const { return m_path; }
    qint64 ReceivedCount() const { return m_receivedCount; }
    // The block stored last (the last 512 bytes stored, or fewer at the start).
    QByteArray ReceiveBlock() const { return m_receiveBlock; }

signals:
    // These bytes reached the file, following those reported before.
    void stored(QByteArrayView bytes);
    // ReceivedCount and ReceiveBlock changed.
    void blockReceived();
    // The reception ended on its own (a failed write, a lost device); file and port are
    // closed, and `reason` says how much was saved.
    void failed(const QString& reason);

private:
    void MSComm1_OnComm();
    // Writes what was read from the port, counts what reached the file and reports it; the
    // last block of it becomes ReceiveBlock.
    bool store(const QByteArray& bytes, QString* error);
    void closeFile();

    SerialPort& m_port;
    FileTable& m_files;
    qint16 ReceiveFileNumber = 0;
    QString m_path;
    qint64 m_receivedCount = 0;
    QByteArray m_receiveBlock;
    bool m_receiving = false;
};
