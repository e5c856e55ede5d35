#pragma once

#include "platform/regularfile.h"

#include <QByteArrayView>
#include <QString>

// The file a reception stores into. It is opened (and made, when missing) before the reception
// starts, but its old content goes only once the port is open (`claim`); a start that fails gives
// the file back as it was found. Only a regular file is taken: a FIFO nobody reads, or a device,
// could hold up every write.
class ReceiveTarget
{
public:
    ReceiveTarget() = default;
    ~ReceiveTarget() { m_file.close(); }
    ReceiveTarget(const ReceiveTarget&) = delete;
    ReceiveTarget& operator=(const ReceiveTarget&) = delete;

    // False, with the message for the user, when the file cannot take a reception.
    bool open(const QString& path, QString* error);
    QString path() const { return m_path; }
    // Whether the file holds data that a reception would replace.
    bool holdsData() const { return m_file.size() > 0; }
    // Empties the file for the reception. False, with the message, when it cannot.
    bool claim(QString* error);
    // Gives the file back as it was found: closed, and removed again when the open made it.
    void giveBack();
    void close() { m_file.close(); }

    // Appends `bytes`; `written` says how many reached the file, also when the write failed.
    bool write(QByteArrayView bytes, qint64* written, QString* error);
    // False once the file was deleted: no name is left that would find the bytes.
    bool isLinked() const { return m_file.isLinked(); }

private:
    RegularFile m_file;
    QString m_path;
};
