#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

// Keeps a costly refresh of the screen to at most one per interval: a request while it is quiet
// refreshes at once, requests within the interval after it are gathered into one at the
// interval's end, and `flush` brings everything up to date at once.
class RefreshThrottle : public QObject
{
    Q_OBJECT

public:
    RefreshThrottle(int intervalMs, std::function<void()> refresh, QObject* parent = nullptr);

    void request();
    // Runs a refresh still owed now.
    void flush();
    // Forgets a refresh still owed.
    void cancel();

private:
    void onInterval();

    std::function<void()> m_refresh;
    QTimer m_timer;
    bool m_owed = false;
};
