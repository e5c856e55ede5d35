#pragma once

#include <QSettings>
#include <QString>

// The per-user store of the program's settings: text values addressed by section and key,
// kept for one application name in an INI file at the platform's per-user location
// ($XDG_CONFIG_HOME/<application>.ini on Linux). Saving replaces the file as a whole, so an
// interrupted save leaves the previous file intact.
class SettingsStore
{
public:
    explicit SettingsStore(const QString& application);

    // The stored text, or `defaultValue` when the key is absent or the file is unreadable.
    QString GetSetting(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    void SaveSetting(const QString& section, const QString& key, const QString& value);
    void DeleteSetting(const QString& section, const QString& key);
    // Writes what was saved to disk. False, with the reason, when the file could not be written.
    bool sync(QString* error);

    QString fileName() const { return m_settings.fileName(); }

private:
    QString keyPath(const QString& section, const QString& key) const;

    mutable QSettings m_settings;
};
