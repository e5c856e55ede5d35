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
    const qint64 keep =
        m_limit ? std::clamp<qint64>(*m_limit - m_kept, 0, bytes.size()) : bytes.size();
    qint64 done = 0;
    bool ok = true;
    if (m_stream) {
        ok = m_stream->write(bytes.first(keep), error);
        done = ok ? keep : 0;
    } else if (keep > 0) {
        ok = m_file.write(bytes.data(), keep, &done, error);
    }
    m_kept += done;
    // Past the limit the bytes count as taken: they left the line all the same.
    *written = ok ? bytes.size() : done;
    return ok;
}

bool ReceiveTarget::isLinked() const
{
    return m_stream || m_file.isLinked();
}
