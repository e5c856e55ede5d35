#include "main_window/shownprobe.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <cstdio>

void ShownProbe::installIfRequested()
{
    if (qEnvironmentVariableIntValue("MARLUNE_EXIT_WHEN_SHOWN") != 1)
        return;
    QCoreApplication::instance()->installEventFilter(new ShownProbe(QCoreApplication::instance()));
}

bool ShownProbe::eventFilter(QObject* watched, QEvent* event)
{
    if (!m_seen && event->type() == QEvent::Expose) {
        const auto* window = qobject_cast<QWindow*>(watched);
        if (window && window->isExposed()) {
            m_seen = true;
            // The expose paints the window before the event loop gets here.
            QTimer::singleShot(0, this, [] {
                std::fputs("shown\n", stdout);
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
    }
    return QObject::eventFilter(watched, event);
}
