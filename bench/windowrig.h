#pragma once

#include "main_window/form1.h"
#include "scriptedui.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

// The program's real window, offscreen, with scripted dialogs and COM2 on a given device, set to
// the fastest speed it offers. Each transfer runs the event loop until it is over.
class WindowRig
{
public:
    // `tickMs` is how often the wait for a transfer looks whether it is over, and the timer
    // whose lateness is collected.
    explicit WindowRig(const QString& device, int tickMs = 10);

    // Sends the file; returns when the window is idle again. False when it showed an error.
    bool send(const QString& path);
    // Starts receiving into `path`; `finishReceive` waits until `bytes` arrived, as far as whole
    // receive blocks go, and until `farEndDone` holds, then stops, which collects the rest.
    // True when the file got exactly `bytes`.
    bool startReceive(const QString& path);
    bool finishReceive(std::int64_t bytes, const std::function<bool()>& farEndDone, int timeoutMs);

    // While the event loop waits on a transfer, the tick timer runs on it; this collects how
    // late each tick came, in milliseconds.
    std::vector<double> lateness;
    QString errors() const;

private:
    // Runs the event loop until `done` holds or the time is up.
    template <typename Done> bool runUntil(Done done, int timeoutMs);
    bool sending() const;
    bool receiving() const;
    std::int64_t receivedCount() const;

    int m_tickMs;
    ScriptedFileDialog m_dialog;
    ScriptedMessages m_messages;
    Form1 m_form;
};
