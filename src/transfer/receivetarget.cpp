#include "transfer/receivetarget.h"

#include <QCoreApplication>
#include <QFile>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("ReceiveTarget", text);
}

} // namespace

bool ReceiveTarget::open(const QString& path, QString* error)
{
    m_path = path;
    QString why;
    if (!m_file.open(path, RegularFile::Mode::ReadWrite, &why)) {
        *error = tr("Cannot receive into \"%1\": %2").arg(path, why);
        return false;
    }
    return true;
}

bool ReceiveTarget::claim(QString* error)
{
    QString why;
    if (!m_file.truncate(&why)) {
        *error = tr("Cannot empty \"%1\": %2").arg(m_path, why);
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

bool ReceiveTarget::write(QByteArrayView bytes, qint64* written, QString* error)
{
    return m_file.write(bytes.data(), bytes.size(), written, error);
}
