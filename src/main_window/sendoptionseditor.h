#pragma once

#include "transfer/sendpacing.h"

class QWidget;

// Where the user sets how a send paces itself, reached through this interface so that tests can
// answer it.
class SendOptionsEditor
{
public:
    virtual ~SendOptionsEditor() = default;

    // Shows `pacing` for editing. False when the user dismissed it; `pacing` is unchanged then.
    virtual bool edit(QWidget* parent, SendPacing* pacing) = 0;
};
