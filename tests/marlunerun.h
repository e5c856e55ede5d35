#pragma once

#include "isolatedsettings.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// One run of the marlune program as a script would start it: a child process without a
// display (no DISPLAY, no WAYLAND_DISPLAY, the xcb platform), so a command that wrongly
// needed one would fail. It inherits the test's environment otherwise, including the
// settings folder, which this header gives every test that runs the program. A run still
// going when the object goes is killed.
class MarluneRun
{
public:
    // Standard input and output come from and go to the named files (FIFOs, say) when given.
    explicit MarluneRun(const QStringList& arguments, const QString& inputPath = QString(),
                        const QString& outputPath = QString());
    ~MarluneRun();
    MarluneRun(const MarluneRun&) = delete;
    MarluneRun& operator=(const MarluneRun&) = delete;

    // The program under test.
    static QString program();

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process.processId(); }
    // True once the program ended within `timeoutMs`, whichever way it ended.
    bool waitForExit(int timeoutMs = 30000);
    // True when it ended by itself (not by a signal) with `code`.
    bool exitedWith(int code) const;
    // Waits until the program handles SIGINT and SIGTERM itself, so that a signal sent from
    // now on is handled rather than killing it.
    bool waitUntilHandlingStopSignals(int timeoutMs = 20000);
    void sendSignal(int signalNumber);

    // Everything the program wrote to standard error and standard output so far.
    QString errorText();
    QString outputText();
    // "exit code 1" or "killed by signal 9", for failure messages.
    QString describeEnd() const;

private:
    QProcess m_process;
    QByteArray m_errors;
    QByteArray m_output;
};
