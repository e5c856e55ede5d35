#pragma once

#include "device/rawpty.h"

#include <QString>

#include <atomic>
#include <sys/types.h>
#include <thread>

// A program at the far end of the line, such as lrzsz's sx or rb: the program under test opens
// the slave of a raw pseudo-terminal, and a thread copies between its master and the far
// program's standard input and output, which are pipes, with no pacing. On a terminal of its own
// lrzsz flushes both queues as it sets and restores its mode, which on a pseudo-terminal throws
// away bytes already "sent" (its last ACK, say); on pipes those calls do nothing.
class FarProgram
{
public:
    FarProgram();
    ~FarProgram();
    FarProgram(const FarProgram&) = delete;
    FarProgram& operator=(const FarProgram&) = delete;

    bool isValid() const { return m_pty.isValid(); }
    QString devicePath() const { return QString::fromStdString(m_pty.path()); }
    // Starts `command` (a shell command line) in `folder`, in a session of its own; its standard
    // error is thrown away. A receiver is started once the program has the port open: lrzsz
    // calls once at its start, and a call into a port not open yet is lost.
    bool start(const QString& command, const QString& folder);
    // Whether a program holds the device as its serial port now.
    bool isHeld() const;
    // True once the program ended within `timeoutMs`; `exitCode` is then its exit status (-1
    // when killed by a signal).
    bool waitForExit(int timeoutMs, int* exitCode);

private:
    void run();

    RawPty m_pty;
    pid_t m_pid = -1;
    int m_toProgram = -1;
    int m_fromProgram = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
