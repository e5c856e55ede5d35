#pragma once

#include "platform/helpviewer.h"

#include <QStringList>

// On Windows the system's help interface. Elsewhere the desktop's opener for the file
// (xdg-open, or open on macOS), when the file exists; the opener failing counts as nothing
// being able to show it.
class QtHelpViewer final : public HelpViewer
{
public:
    QtHelpViewer();
    // Tests name an opener of their own.
    explicit QtHelpViewer(const QString& opener, const QStringList& arguments = {});

    void showContents(QWidget* owner, const QString& helpFile,
                      std::function<void()> unavailable) override;

private:
    QString m_opener;
    QStringList m_arguments;
    // Windows has a help interface of its own; tests bypass it.
    bool m_systemHelp = false;
};
