#include "transfer/sendsource.h"

#include <QCoreApplication>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("SendSource", text);
}

} // namespace

bool SendSource::open(const QString& path, QString* error)
{
    m_path = path;
    m_length = 0;
    QString why;
    if (!m_file.open(path, RegularFile::Mode::Read, &why)) {
        *error = tr("Cannot send \"%1\": %2").arg(path, why);
        return false;
    }
    m_length = m_file.size();
    if (m_length == 0) {
        char probe = 0;
        if (m_file.read(&probe, 1, nullptr) != 0) {
            m_file.close();
            *error = tr("Cannot send \"%1\": its length reads 0, but it has content (a file of "
                        "the system, such as those under /proc, tells no length), so there is "
                        "no knowing when it is complete. Copy it to a file first.")
                         .arg(path);
            return false;
        }
    }
    return true;
}

bool SendSource::read(char* data, qint64 size, qint64 sent, QString* error)
{
    qint64 got = 0;
    while (got < size) {
        QString why;
        const qint64 n = m_file.read(data + got, size - got, &why);
        if (n < 0) {
            *error =
                tr("Reading the file failed after %1 bytes were sent: %2").arg(sent + got).arg(why);
            return false;
        }
        if (n == 0) {
            *error = tr("The file ended after %1 bytes, short of its length of %2 bytes; %3 "
                        "bytes were sent.")
                         .arg(sent + got)
                         .arg(m_length)
                         .arg(sent);
            return false;
        }
        got += n;
    }
    return true;
}
