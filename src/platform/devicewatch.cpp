#include "platform/devicewatch.h"

#include <QFileInfo>

DeviceWatch::DeviceWatch(QObject* parent) : QObject(parent)
{
    m_timer.setInterval(lookIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &DeviceWatch::look);
    connect(&m_folders, &QFileSystemWatcher::directoryChanged, this, &DeviceWatch::look);
}

void DeviceWatch::watch(const QStringList& paths)
{
    stop();
    for (const QString& path : paths) {
        if (!path.isEmpty() && !m_paths.contains(path))
            m_paths << path;
    }
    for (const QString& path : std::as_const(m_paths)) {
        const QString folder = QFileInfo(path).absolutePath();
        if (QFileInfo(folder).isDir() && !m_folders.directories().contains(folder))
            m_folders.addPath(folder);
    }
    m_timer.start();
    QMetaObject::invokeMethod(this, &DeviceWatch::look, Qt::QueuedConnection);
}

void DeviceWatch::stop()
{
    m_timer.stop();
    m_paths.clear();
    if (!m_folders.directories().isEmpty())
        m_folders.removePaths(m_folders.directories());
}

void DeviceWatch::look()
{
    if (!isWatching())
        return;
    for (const QString& path : std::as_const(m_paths)) {
        // Through links: a link to a device that is gone is no device.
        if (QFileInfo::exists(path)) {
            emit present(path);
            return;
        }
    }
}
