#pragma once

#include "main_window/form1.h"
#include "scriptedui.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

// The program's real window, offscreen, with scripted dialogs and COM2 on a given device. It is
// driven as a user drives it, by clicking its buttons, and watched through its widgets and the
// files it writes. This is the only code of the benchmark that knows the window.
class WindowRig
{
public:
    // Clicks COM2 and the speed button captioned `baud`. `tickMs` is how often a wait looks
    // whether the transfer is over; that timer's lateness is collected.
    explicit WindowRig(const QString& device, int baud, int tickMs = 10);

    // The port and speed buttons were found and the window took the speed.
    bool isReady() const { return m_ready; }

    enum class Outcome
    {
        Done,   // the window ended the transfer itself
        Cut,    // the time ran out and the transfer was stopped with the window's own button
        Failed, // the window showed an error, or never started
    };
    // Sends the file; returns once the window is idle again, or cancels it after `limitMs`.
    Outcome send(const QString& path, int limitMs);
    // Starts receiving into `path`; true when the window shows a reception running.
    bool startReceive(const QString& path);
    // Waits until the file holds `bytes`, or until `farEndDone` holds and the file stopped
    // growing, then stops the reception, which collects the rest. After `limitMs` it stops all
    // the same.
    Outcome finishReceive(std::int64_t bytes, const std::function<bool()>& farEndDone, int limitMs);

    // How late each tick of the wait came, in milliseconds.
    std::vector<double> lateness;
    QString errors() const;

private:
    // Runs the event loop until `done` holds, an error shows or the time is up; true when
    // `done` held.
    bool runUntil(const std::function<bool()>& done, int timeoutMs);
    void click(const QString& name);
    bool isShown(const QString& name) const;
    QString text(const QString& name) const;

    int m_tickMs = 10;
    bool m_ready = false;
    QString m_receivePath;
    ScriptedFileDialog m_dialog;
    ScriptedMessages m_messages;
    Form1 m_form;
};
