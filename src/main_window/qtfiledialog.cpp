#include "main_window/qtfiledialog.h"

#include <QFileDialog>

bool QtFileDialog::ShowOpen(QWidget* parent)
{
    const QString path = QFileDialog::getOpenFileName(parent, QString(), FileName());
    if (path.isEmpty())
        return false;
    setFileName(path);
    return true;
}

bool QtFileDialog::ShowSave(QWidget* parent)
{
    const QString path = QFileDialog::getSaveFileName(parent, QString(), FileName(), QString(),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty())
        return false;
    setFileName(path);
    return true;
}
