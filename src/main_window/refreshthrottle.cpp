#include "main_window/refreshthrottle.h"

#include <utility>

RefreshThrottle::RefreshThrottle(int intervalMs, std::function<void()> refresh, QObject* parent)
    : QObject(parent), m_refresh(std::move(refresh))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &RefreshThrottle::onInterval);
}

void RefreshThrottle::request()
{
    if (m_timer.isActive()) {
        m_owed = true;
        return;
    }
    m_owed = false;
    m_refresh();
    m_timer.start();
}

void RefreshThrottle::flush()
{
    m_timer.stop();
    if (std::exchange(m_owed, false))
        m_refresh();
}

void RefreshThrottle::cancel()
{
    m_timer.stop();
    m_owed = false;
}

void RefreshThrottle::onInterval()
{
    if (!std::exchange(m_owed, false))
        return;
    m_refresh();
    // Requests keep coming: the next refresh waits its turn too.
    m_timer.start();
}
