#pragma once

#include <QDialog>

class QTextBrowser;

// The program's own help: how to send and receive, the port and speed choice and the command
// line. Shown when the help file cannot be shown, and it names the file that was looked for.
class HelpWindow : public QDialog
{
    Q_OBJECT

public:
    explicit HelpWindow(QWidget* parent = nullptr);

    void setLookedUpPath(const QString& path);
    // The help as plain text, as a reader sees it.
    QString text() const;

private:
    QTextBrowser* m_browser = nullptr;
};
