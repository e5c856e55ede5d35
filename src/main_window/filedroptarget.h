#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QMimeData;
class QWidget;

// Lets one local file be dropped on a widget, and hands its path on. Anything else (several
// files, text, a remote address) is not taken.
class FileDropTarget : public QObject
{
    Q_OBJECT

public:
    FileDropTarget(QWidget& widget, std::function<void(const QString&)> dropped);

    // The path of the one local file the data names; empty otherwise.
    static QString droppedFile(const QMimeData* data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void(const QString&)> m_dropped;
};
