#pragma once

#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <sys/types.h>

// A program started by the benchmark, measured from outside: when it started and ended, the
// CPU time it used and its peak resident memory.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `arguments` and `extraEnvironment` ("NAME=value") added to this
    // process's environment. Its output goes to `logPath`, or, when `logPath` is empty, its
    // standard output can be read with readLine.
    bool start(const QString& program, const QStringList& arguments,
               const QStringList& extraEnvironment, const QString& logPath);
    // The next start puts the child in a session of its own, without a controlling terminal, as
    // a program that opens a tty as its line needs (lrzsz).
    void setNewSession(bool on) { m_newSession = on; }
    // Waits for a line on the child's standard output; empty on timeout or end of output.
    QString readLine(int timeoutMs);
    // Waits for it to end, sampling its peak memory meanwhile; true once it has ended. It is
    // not reaped: the exit code comes with waitForExit.
    bool waitForEnd(int timeoutMs);
    // True when it ended in time; a child still running afterwards is killed.
    bool waitForExit(int timeoutMs);
    // Waits until it holds `path` open; false when it ended or the time ran out first.
    bool waitForOpen(const QString& path, int timeoutMs) const;
    // Asks it to stop (SIGTERM), as Ctrl-C or a service manager would.
    void terminate();

    bool running() const { return m_pid > 0 && !m_exited; }
    // True once it has ended, without reaping it.
    bool hasEnded() const;
    // The exit code, or -1 when it was killed by a signal.
    int exitCode() const { return m_exitCode; }
    std::int64_t startedNs() const { return m_startedNs; }
    std::int64_t exitedNs() const { return m_exitedNs; }
    // User plus system time used so far by all its threads, ended ones included, while it
    // runs; counted in clock ticks (cpuTickNs).
    std::int64_t cpuNs() const;
    static std::int64_t cpuTickNs();
    // After the exit: its peak resident memory as last seen (sampled every 20 ms while it
    // was waited for).
    std::int64_t peakRssKiB() const { return m_peakRssKiB; }
    // Takes a sample of the peak now, besides those waitForExit takes.
    void sampleMemory() { m_peakRssKiB = std::max(m_peakRssKiB, highWaterKiB()); }

private:
    // The child's peak resident memory so far (VmHWM), 0 once it is gone.
    std::int64_t highWaterKiB() const;

    bool m_newSession = false;
    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_stdout = -1;
    bool m_exited = false;
    int m_exitCode = -1;
    std::int64_t m_startedNs = 0;
    std::int64_t m_exitedNs = 0;
    std::int64_t m_peakRssKiB = 0;
    QByteArray m_pending;
};
