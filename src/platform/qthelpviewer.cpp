#include "platform/qthelpviewer.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>
#include <QWidget>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

bool QtHelpViewer::showContents(QWidget* owner, const QString& helpFile)
{
#ifdef Q_OS_WIN
    // The help viewer reports a missing file itself.
    const QByteArray path = helpFile.toLocal8Bit();
    const HWND window = owner ? reinterpret_cast<HWND>(owner->window()->winId()) : nullptr;
    return WinHelpA(window, path.constData(), HELP_CONTENTS, 0) != FALSE;
#else
    Q_UNUSED(owner);
    if (!QFileInfo(helpFile).isFile())
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(helpFile));
#endif
}
