#include "transfer/receivetarget.h"

#include "transfer/streamoutput.h"

#include <QFile>

#include <algorithm>
#include <limits>

ReceiveTarget::ReceiveTarget(QObject* parent) : QObject(parent) {}

bool ReceiveTarget::open(const QString& path, QString* error)
{
    m_path = path;
    QString why;
    if (!m_file.open(path, RegularFile::Mode::ReadWrite, &why)) {
        *error = tr("Cannot receive into %1: %2").arg(displayName(), why);
        return false;
    }
    return true;
}

void ReceiveTarget::openStream(StreamOutput& stream)
{
    m_stream = &stream;
    m_path.clear();
    connect(m_stream, &StreamOutput::tookMore, this, &ReceiveTarget::tookMore);
    connect(m_stream, &StreamOutput::failed, this, &ReceiveTarget::broken);
}

QString ReceiveTarget::displayName() const
{
    return m_stream ? StreamOutput::name() : QStringLiteral("\"%1\"").arg(m_path);
}

bool ReceiveTarget::holdsData() const
{
    return !m_stream && m_file.size() > 0;
}

bool ReceiveTarget::claim(QString* error)
{
    QString why;
    if (!m_stream && !m_file.truncate(&why)) {
        *error = tr("Cannot empty %1: %2").arg(displayName(), why);
        return false;
    }
    return true;
}

void ReceiveTarget::giveBack()
{
    const bool created = m_file.created();
    m_file.close();
    if (created)
        QFile::remove(m_path);
}

qint64 ReceiveTarget::room() const
{
    return m_stream ? m_stream->room() : std::numeric_limits<qint64>::max();
}

qint64 ReceiveTarget::backlog() const
{
    return m_stream ? m_stream->backlog() : 0;
}

bool ReceiveTarget::write(QByteArrayView bytes, qint64* written, QString* error)
{
    if (m_stream) {
        const bool ok = m_stream->write(bytes, error);
        *written = ok ? bytes.size() : 0;
        return ok;
    }
    *written = 0;
    return bytes.isEmpty() || m_file.write(bytes.data(), bytes.size(), written, error);
}

bool ReceiveTarget::isLinked() const
{
    return m_stream || m_file.isLinked();
}
