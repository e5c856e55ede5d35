#include "transfer/sendsource.h"

SendSource::SendSource(QObject* parent) : QObject(parent)
{
    connect(&m_stream, &PipeEnd::ready, this, [this] {
        m_stream.watch(false);
        emit readable();
    });
}

bool SendSource::open(const QString& path, QString* error)
{
    m_path = path;
    m_length = 0;
    QString why;
    if (!m_file.open(path, RegularFile::Mode::Read, &why)) {
        *error = tr("Cannot send %1: %2").arg(displayName(), why);
        return false;
    }
    m_length = m_file.size();
    if (m_length == 0) {
        char probe = 0;
        if (m_file.read(&probe, 1, nullptr) != 0) {
            m_file.close();
            *error = tr("Cannot send %1: its length reads 0, but it has content (a file of "
                        "the system, such as those under /proc, tells no length), so there is "
                        "no knowing when it is complete. Copy it to a file first.")
                         .arg(displayName());
            return false;
        }
    }
    return true;
}

bool SendSource::openStream(int fd, QString* error)
{
    m_path.clear();
    m_length = -1;
    QString why;
    if (!m_stream.open(fd, PipeEnd::Direction::Read, &why)) {
        *error = tr("Cannot send %1: %2.").arg(displayName(), why);
        return false;
    }
    return true;
}

QString SendSource::displayName() const
{
    return m_length < 0 ? tr("standard input") : QStringLiteral("\"%1\"").arg(m_path);
}

qint64 SendSource::read(char* data, qint64 size, qint64 sent, QString* error)
{
    if (m_length >= 0)
        return readFile(data, size, sent, error);
    QString why;
    const qint64 got = m_stream.read(data, size, &why);
    if (got < 0) {
        *error = tr("Reading %1 failed after %2 bytes were sent: %3")
                     .arg(displayName())
                     .arg(sent)
                     .arg(why);
    } else if (got == 0 && !m_stream.atEnd()) {
        m_stream.watch(true);
    }
    return got;
}

qint64 SendSource::readFile(char* data, qint64 size, qint64 sent, QString* error)
{
    qint64 got = 0;
    while (got < size) {
        QString why;
        const qint64 n = m_file.read(data + got, size - got, &why);
        if (n < 0) {
            *error = tr("Reading the file failed after %1 bytes were sent: %2").arg(sent).arg(why);
            return -1;
        }
        if (n == 0) {
            *error = tr("The file ended after %1 bytes, short of its length of %2 bytes; %3 "
                        "bytes were sent.")
                         .arg(sent + got)
                         .arg(m_length)
                         .arg(sent);
            return -1;
        }
        got += n;
    }
    return got;
}
