#pragma once

#include "platform/filedialog.h"

// The file dialog as the desktop shows it: every file offered, the platform's own titles.
class QtFileDialog final : public FileDialog
{
public:
    bool ShowOpen(QWidget* parent) override;
    bool ShowSave(QWidget* parent) override;
};
