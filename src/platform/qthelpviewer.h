#pragma once

#include "platform/helpviewer.h"

// On Windows the system's help interface; elsewhere the desktop's default handler for the
// file, when the file exists.
class QtHelpViewer final : public HelpViewer
{
public:
    bool showContents(QWidget* owner, const QString& helpFile) override;
};
