#include "marlunerun.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/types.h>

MarluneRun::MarluneRun(const QStringList& arguments, const QString& inputPath,
                       const QString& outputPath)
{
    if (!inputPath.isEmpty())
        m_process.setStandardInputFile(inputPath);
    if (!outputPath.isEmpty())
        m_process.setStandardOutputFile(outputPath);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    m_process.setProcessEnvironment(environment);
    // A test that dies halfway must not leave a receiving program behind.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start(program(), arguments);
    m_process.waitForStarted();
}

MarluneRun::~MarluneRun()
{
    if (isRunning()) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

QString MarluneRun::program()
{
    return QStringLiteral(MARLUNE_PROGRAM_PATH);
}

bool MarluneRun::waitForExit(int timeoutMs)
{
    if (isRunning())
        m_process.waitForFinished(timeoutMs);
    return !isRunning();
}

bool MarluneRun::exitedWith(int code) const
{
    return !isRunning() && m_process.exitStatus() == QProcess::NormalExit &&
           m_process.exitCode() == code;
}

bool MarluneRun::waitUntilHandlingStopSignals(int timeoutMs)
{
    // The kernel lists the signals a process catches as a hexadecimal mask, bit n-1 for
    // signal n.
    const quint64 wanted = (quint64(1) << (SIGINT - 1)) | (quint64(1) << (SIGTERM - 1));
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    QDeadlineTimer deadline(timeoutMs);
    while (isRunning() && !deadline.hasExpired()) {
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("SigCgt:") &&
                    (line.mid(7).trimmed().toULongLong(nullptr, 16) & wanted) == wanted) {
                    return true;
                }
            }
            status.close();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return false;
}

void MarluneRun::sendSignal(int signalNumber)
{
    if (isRunning())
        ::kill(pid_t(pid()), signalNumber);
}

QString MarluneRun::errorText()
{
    m_errors += m_process.readAllStandardError();
    return QString::fromLocal8Bit(m_errors);
}

QString MarluneRun::outputText()
{
    m_output += m_process.readAllStandardOutput();
    return QString::fromLocal8Bit(m_output);
}

QString MarluneRun::describeEnd() const
{
    if (isRunning())
        return QStringLiteral("still running");
    if (m_process.exitStatus() == QProcess::CrashExit)
        return QStringLiteral("ended by a signal or crash");
    return QStringLiteral("exit code %1").arg(m_process.exitCode());
}
