#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Watches for a device that is absent to be there: a board whose USB port comes back after a
// reset, an adapter plugged in later. The folders of the names are watched for changes, and the
// names looked at a few times a second besides (a name may be a link whose target comes later,
// or the device may not yet let this user open it); nothing is done between looks.
class DeviceWatch : public QObject
{
    Q_OBJECT

public:
    static constexpr int lookIntervalMs = 200;

    explicit DeviceWatch(QObject* parent = nullptr);

    // Watches for any of `paths` (empty ones are left out) until `stop`. `present` comes with
    // the first that exists at each look, the first look from the event loop.
    void watch(const QStringList& paths);
    void stop();
    bool isWatching() const { return m_timer.isActive(); }

signals:
    void present(const QString& path);

private:
    void look();

    QStringList m_paths;
    QTimer m_timer;
    QFileSystemWatcher m_folders;
};
