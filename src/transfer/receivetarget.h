#pragma once

#include "platform/regularfile.h"

#include <QByteArrayView>
#include <QObject>
#include <QString>

class StreamOutput;

// Where a reception stores its bytes: a file, or standard output (`openStream`).
//
// A file is opened (and made, when missing) before the reception starts, but its old content
// goes only once the reception claims it (`claim`); a start that fails gives the file back as
// it was found. Only a regular file is taken: a FIFO nobody reads, or a device, could hold up
// every write. Standard output is written without waiting through a StreamOutput, whose queue
// can be full (`room`).
class ReceiveTarget : public QObject
{
    Q_OBJECT

public:
    explicit ReceiveTarget(QObject* parent = nullptr);
    ~ReceiveTarget() override = default;

    // False, with the message for the user, when the file cannot take a reception.
    bool open(const QString& path, QString* error);
    // Passes the bytes on through `stream`, which stays the caller's: it keeps what it could
    // not pass on yet when the reception ends.
    void openStream(StreamOutput& stream);
    QString path() const { return m_path; }
    // How messages name it: the file's path in quotes, or "standard output".
    QString displayName() const;
    // Whether the file holds data that a reception would replace.
    bool holdsData() const;
    // Empties the file for the reception. False, with the message, when it cannot.
    bool claim(QString* error);
    // Gives the file back as it was found: closed, and removed again when the open made it.
    void giveBack();

    // How many bytes `write` takes before a stream's queue is full; a file takes any.
    qint64 room() const;
    // Bytes written to a stream and not yet passed on; 0 for a file.
    qint64 backlog() const;
    // Appends `bytes`; `written` says how many were taken, also when the write failed.
    bool write(QByteArrayView bytes, qint64* written, QString* error);
    // False once the file was deleted: no name is left that would find the bytes.
    bool isLinked() const;

signals:
    // A stream's reader took more, so there is room again.
    void tookMore();
    // A stream failed between writes (its reader went away); `why` says how.
    void broken(const QString& why);

private:
    RegularFile m_file;
    QString m_path;
    StreamOutput* m_stream = nullptr;
};
