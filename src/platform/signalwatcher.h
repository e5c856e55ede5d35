#pragma once

#include <QObject>

#include <csignal>
#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

// Turns termination signals (Ctrl-C, SIGTERM) into a Qt signal on the event loop. The handler
// only writes the signal number into a socket pair, which is all a handler may safely do; the
// event loop reads it from the other end. The previous handlers come back when the watcher goes.
// One watcher at a time.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~SignalWatcher() override;

    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // False when the socket pair could not be made; no handler is installed then.
    bool isValid() const { return m_readFd >= 0; }

    // The name of a signal for messages, such as "SIGTERM".
    static const char* name(int signalNumber);

signals:
    void received(int signalNumber);

private:
    static void handle(int signalNumber);
    void readPending();

    int m_readFd = -1;
    int m_writeFd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::vector<std::pair<int, struct sigaction>> m_previous;
};
