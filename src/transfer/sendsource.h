#pragma once

#include "platform/pipeend.h"
#include "platform/regularfile.h"

#include <QObject>
#include <QString>

// Where a send takes its bytes from, one chunk at a time: a file, or standard input
// (`openStream`).
//
// Only a regular file with a length that tells how much it holds is taken as a file: a pipe, a
// device, or a file of the system (those under /proc report a length of 0 and yet have content)
// is refused, as the send could not know when it is complete. Opening never waits on what is not
// a regular file. Standard input is read without waiting until its end, whatever it is; its
// length is not known before.
class SendSource : public QObject
{
    Q_OBJECT

public:
    explicit SendSource(QObject* parent = nullptr);

    // False, with the message for the user, when the file cannot be sent.
    bool open(const QString& path, QString* error);
    // Reads `fd` (standard input) until its end. False, with the message, when it cannot.
    bool openStream(int fd, QString* error);
    bool isOpen() const { return m_file.isOpen() || m_stream.isOpen(); }
    QString path() const { return m_path; }
    // How messages name it: the file's path in quotes, or "standard input".
    QString displayName() const;
    // The file's length when it was opened; -1 for a stream.
    qint64 length() const { return m_length; }
    // The next bytes, `sent` being those that went before (for messages). A file gives exactly
    // `size` and fails when it ends early; a stream gives what waits, up to `size`, and 0 when
    // nothing waits now (`readable` follows) or it ended (`atEnd`). -1, with the message for the
    // user, on failure.
    qint64 read(char* data, qint64 size, qint64 sent, QString* error);
    bool atEnd() const { return m_stream.atEnd(); }

signals:
    // A stream that had nothing to read has more now, or reached its end.
    void readable();

private:
    qint64 readFile(char* data, qint64 size, qint64 sent, QString* error);

    RegularFile m_file;
    PipeEnd m_stream;
    QString m_path;
    qint64 m_length = 0;
};
