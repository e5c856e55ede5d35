#include "main_window/qtfiledialog.h"

#include <QFileDialog>

namespace {

// Qt's own dialog: a desktop's native one may run a loop of its own (GTK's does), in which the
// program, on Qt's own event dispatcher, would stop reading a reception that is running.
constexpr QFileDialog::Options ownDialog = QFileDialog::DontUseNativeDialog;

} // namespace

bool QtFileDialog::ShowOpen(QWidget* parent)
{
    const QString path =
        QFileDialog::getOpenFileName(parent, QString(), FileName(), QString(), nullptr, ownDialog);
    if (path.isEmpty())
        return false;
    setFileName(path);
    return true;
}

bool QtFileDialog::ShowSave(QWidget* parent)
{
    const QString path =
        QFileDialog::getSaveFileName(parent, QString(), FileName(), QString(), nullptr,
                                     ownDialog | QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty())
        return false;
    setFileName(path);
    return true;
}
