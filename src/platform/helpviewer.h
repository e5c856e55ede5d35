#pragma once

#include <QString>

class QWidget;

// The platform's way of showing a help file, reached through this interface so that tests can
// stand in for it.
class HelpViewer
{
public:
    virtual ~HelpViewer() = default;

    // Shows the help file at its contents. False when nothing could show it.
    virtual bool showContents(QWidget* owner, const QString& helpFile) = 0;
};
