#include "platform/settingsstore.h"

#include <QCoreApplication>
#include <QStringList>

SettingsStore::SettingsStore(const QString& application)
    : m_settings(QSettings::IniFormat, QSettings::UserScope, application)
{
    // A crash or a full disk during a save must never leave a half-written file behind.
    m_settings.setAtomicSyncRequired(true);
}

QString SettingsStore::keyPath(const QString& section, const QString& key) const
{
    return section + QLatin1Char('/') + key;
}

QString SettingsStore::GetSetting(const QString& section, const QString& key,
                                  const QString& defaultValue) const
{
    if (m_settings.status() == QSettings::FormatError)
        return defaultValue;
    const QVariant value = m_settings.value(keyPath(section, key));
    if (!value.isValid())
        return defaultValue;
    // A value edited by hand without quotes, such as 9600,N,8,1, reads back as a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

void SettingsStore::SaveSetting(const QString& section, const QString& key, const QString& value)
{
    m_settings.setValue(keyPath(section, key), value);
}

void SettingsStore::DeleteSetting(const QString& section, const QString& key)
{
    m_settings.remove(keyPath(section, key));
}

bool SettingsStore::sync(QString* error)
{
    m_settings.sync();
    if (m_settings.status() == QSettings::NoError)
        return true;
    if (error) {
        *error = QCoreApplication::translate("SettingsStore",
                                             "The settings could not be written to \"%1\".")
                     .arg(fileName());
    }
    return false;
}
