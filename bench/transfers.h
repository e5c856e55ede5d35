#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// Where the benchmark keeps its files and how it reaches the programs it runs.
struct Setup
{
    QString dir;
    QString self; // this executable, which runs the window in a process of its own
    QString marlune;
    QString floor; // marlune_floor, the least a reception costs
    QString log;   // where the programs started write their output

    QString file(const char* name) const { return dir + QLatin1Char('/') + QLatin1String(name); }
    // The last lines the programs started wrote, for saying why one failed.
    QString logTail() const;
};

// Who moves the data on the program's side of the line.
enum class Mover
{
    KernelProcess, // dd bs=64K in a process of its own: the kernel path, blocking 64 KiB reads
                   // and writes, what cat, dd and head -c do
    // For a receive, dd as above, then sha256sum of the file in a process of its own: the
    // system's tools giving the verified copy the command line gives. For a send, dd alone.
    KernelVerified,
    Window,      // the program's window, in this process
    CommandLine, // marlune send / marlune receive
};

enum class Direction
{
    Send,    // from a file to the far end
    Receive, // from the far end into a file
};

// One unpaced transfer: how many bytes arrived intact, and how long it took.
struct Transfer
{
    std::int64_t bytes = 0; // arrived in order, each one checked against the pattern
    std::int64_t ns = 0;
    bool cut = false; // the time ran out and the transfer was stopped
    QString failure;  // why there is no figure; empty when there is one
    // A baseline in two steps: the time to the end of the first (dd, before sha256sum).
    std::int64_t firstStepNs = 0;

    double megabytesPerSecond() const;
    double firstStepMegabytesPerSecond() const;
};

// Moves the first `bytes` of the pattern between `mover`, with the line set to `baud`, and an
// unpaced far end; a send reads them from Setup::file("send.bin"). Time runs from the start (a
// program's start, the first click, opening the port) to the far end taking the last byte, for
// a send, or to the received file closed, for a receive. After `limitMs` the transfer is
// stopped as a user would stop it, and counts what had arrived by then. `lateness`, when given,
// collects how late the window's timer came.
Transfer runTransfer(const Setup& setup, Mover mover, Direction direction, int baud,
                     std::int64_t bytes, int limitMs, std::vector<double>* lateness = nullptr);

// The command line that moves `bytes` through `device` with `file` at `baud`.
QStringList commandLineArguments(Direction direction, const QString& device, const QString& file,
                                 int baud, std::int64_t bytes);
// The same through the window, in a process of its own (`marlune_bench --window ...`).
QStringList windowProcessArguments(Direction direction, const QString& device, const QString& file,
                                   int baud, std::int64_t bytes);

// `marlune_bench --window send|receive DEVICE FILE BAUD BYTES`: one transfer through the window,
// for a parent that runs the far end and measures this process from outside. Returns the exit
// status: 0 when the window ended the transfer itself without an error.
int runWindowProcess(const QStringList& arguments);
