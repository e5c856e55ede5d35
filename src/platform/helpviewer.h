#pragma once

#include <QChar>
#include <QDir>
#include <QString>

#include <functional>

class QWidget;

// The platform's way of showing a help file, reached through this interface so that tests can
// stand in for it.
class HelpViewer
{
public:
    virtual ~HelpViewer() = default;

    // Shows the help file at its contents. `unavailable` runs, at once or later, when nothing
    // could show it; it does not run once `owner` is gone.
    virtual void showContents(QWidget* owner, const QString& helpFile,
                              std::function<void()> unavailable) = 0;

    // The help file "baud.hlp" in `folder` (the program's own): one separator between them,
    // none added after a folder that already ends in one (a drive root).
    static QString helpFilePath(const QString& folder, QChar separator = QDir::separator());
};
