#include "main_window/qtsendoptionseditor.h"

#include "main_window/sendoptionsdialog.h"

bool QtSendOptionsEditor::edit(QWidget* parent, SendPacing* pacing)
{
    SendOptionsDialog dialog(*pacing, parent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *pacing = dialog.pacing();
    return true;
}
