#pragma once

#include "main_window/sendoptionseditor.h"

// The send options as the window shows them: the "Send options" dialog.
class QtSendOptionsEditor final : public SendOptionsEditor
{
public:
    bool edit(QWidget* parent, SendPacing* pacing) override;
};
