#include "main_window/qthelpviewer.h"

#include <QFileInfo>
#include <QProcess>
#include <QWidget>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

QtHelpViewer::QtHelpViewer()
#ifdef Q_OS_MACOS
    : m_opener(QStringLiteral("open"))
#else
    : m_opener(QStringLiteral("xdg-open"))
#endif
      ,
      m_systemHelp(true)
{
}

QtHelpViewer::QtHelpViewer(const QString& opener, const QStringList& arguments)
    : m_opener(opener), m_arguments(arguments)
{
}

void QtHelpViewer::showContents(QWidget* owner, const QString& helpFile,
                                std::function<void()> unavailable)
{
#ifdef Q_OS_WIN
    if (m_systemHelp) {
        // The system's help viewer reports a missing file itself.
        const QByteArray path = helpFile.toLocal8Bit();
        const HWND window = owner ? reinterpret_cast<HWND>(owner->window()->winId()) : nullptr;
        if (!WinHelpA(window, path.constData(), HELP_CONTENTS, 0))
            unavailable();
        return;
    }
#endif
    if (!QFileInfo(helpFile).isFile()) {
        unavailable();
        return;
    }
    // The opener reports by its exit status whether anything could show the file; waiting for
    // it must not hold up the window.
    auto* process = new QProcess;
    QObject* context = owner ? static_cast<QObject*>(owner) : process;
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::finished, context,
                     [unavailable](int exitCode, QProcess::ExitStatus status) {
                         if (status != QProcess::NormalExit || exitCode != 0)
                             unavailable();
                     });
    QObject::connect(process, &QProcess::errorOccurred, context,
                     [process, unavailable](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         process->deleteLater();
                         unavailable();
                     });
    process->start(m_opener, m_arguments + QStringList{helpFile});
}
