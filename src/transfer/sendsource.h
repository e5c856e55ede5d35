#pragma once

#include "platform/regularfile.h"

#include <QString>

// The file a send takes its bytes from, read one chunk at a time. Only a regular file with a
// length that tells how much it holds is taken: a pipe, a device, or a file of the system (those
// under /proc report a length of 0 and yet have content) is refused, as the send could not know
// when it is complete. Opening never waits on what is not a regular file.
class SendSource
{
public:
    // False, with the message for the user, when the file cannot be sent.
    bool open(const QString& path, QString* error);
    void close() { m_file.close(); }
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_path; }
    // The file's length when it was opened.
    qint64 length() const { return m_length; }
    // Reads exactly the next `size` bytes. False, with the message for the user, when the file
    // fails or ends early; `sent` (the bytes that went before) is for that message.
    bool read(char* data, qint64 size, qint64 sent, QString* error);

private:
    RegularFile m_file;
    QString m_path;
    qint64 m_length = 0;
};
