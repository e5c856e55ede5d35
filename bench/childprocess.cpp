#include "childprocess.h"

#include "farend.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

ChildProcess::~ChildProcess()
{
    if (running())
        waitForExit(0);
    if (m_pidFd >= 0)
        ::close(m_pidFd);
    if (m_stdout >= 0)
        ::close(m_stdout);
}

bool ChildProcess::start(const QString& program, const QStringList& arguments,
                         const QStringList& extraEnvironment, const QString& logPath)
{
    std::vector<QByteArray> argStore{QFile::encodeName(program)};
    for (const QString& a : arguments)
        argStore.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envStore;
    for (char** e = environ; *e; ++e)
        envStore.emplace_back(*e);
    for (const QString& e : extraEnvironment)
        envStore.push_back(e.toLocal8Bit());
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    const QByteArray log = QFile::encodeName(logPath);
    if (logPath.isEmpty()) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.constData(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!log.isEmpty())
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (m_newSession)
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    m_startedNs = monotonicNs();
    const int rc = ::posix_spawn(&m_pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0)
        ::close(pipeFds[1]);
    m_stdout = pipeFds[0];
    if (rc != 0) {
        m_pid = -1;
        return false;
    }
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    return true;
}

QString ChildProcess::readLine(int timeoutMs)
{
    const std::int64_t deadline = monotonicNs() + std::int64_t(timeoutMs) * 1'000'000;
    while (m_stdout >= 0) {
        const qsizetype newline = m_pending.indexOf('\n');
        if (newline >= 0) {
            const QString line = QString::fromLocal8Bit(m_pending.left(newline));
            m_pending.remove(0, newline + 1);
            return line;
        }
        const std::int64_t left = (deadline - monotonicNs()) / 1'000'000;
        pollfd p{m_stdout, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            return {};
        char buffer[4096];
        const ssize_t n = ::read(m_stdout, buffer, sizeof buffer);
        if (n <= 0)
            return {};
        m_pending.append(buffer, n);
    }
    return {};
}

bool ChildProcess::waitForEnd(int timeoutMs)
{
    if (m_pid <= 0)
        return false;
    // The peak is read while it runs: the exit status's ru_maxrss would also count the memory
    // of this process, which the child shared until its exec.
    const std::int64_t deadline = monotonicNs() + std::int64_t(timeoutMs) * 1'000'000;
    for (;;) {
        sampleMemory();
        if (hasEnded()) {
            if (m_exitedNs == 0)
                m_exitedNs = monotonicNs();
            return true;
        }
        const std::int64_t left = (deadline - monotonicNs()) / 1'000'000;
        if (left <= 0)
            return false;
        pollfd p{m_pidFd, POLLIN, 0};
        if (m_pidFd >= 0)
            ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 20)));
        else
            ::usleep(20'000);
    }
}

bool ChildProcess::waitForExit(int timeoutMs)
{
    if (m_pid <= 0)
        return false;
    if (m_exited)
        return true;
    const bool inTime = waitForEnd(timeoutMs);
    if (!inTime) {
        ::kill(m_pid, SIGKILL); // our own child, which overran its time
        m_exitedNs = monotonicNs();
    }
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_exited = true;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return inTime;
}

bool ChildProcess::waitForOpen(const QString& path, int timeoutMs) const
{
    namespace fs = std::filesystem;
    const fs::path fds = "/proc/" + std::to_string(m_pid) + "/fd";
    const fs::path wanted = QFile::encodeName(path).toStdString();
    const std::int64_t deadline = monotonicNs() + std::int64_t(timeoutMs) * 1'000'000;
    while (!hasEnded() && monotonicNs() < deadline) {
        std::error_code error;
        for (fs::directory_iterator fd(fds, error), end; !error && fd != end; fd.increment(error)) {
            std::error_code unreadable; // a descriptor closed meanwhile
            if (fs::read_symlink(fd->path(), unreadable) == wanted)
                return true;
        }
        ::usleep(1000);
    }
    return false;
}

std::int64_t ChildProcess::highWaterKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

bool ChildProcess::hasEnded() const
{
    if (m_exited)
        return true;
    pollfd p{m_pidFd, POLLIN, 0};
    return m_pidFd >= 0 && ::poll(&p, 1, 0) > 0;
}

std::int64_t ChildProcess::cpuTickNs()
{
    return 1'000'000'000 / ::sysconf(_SC_CLK_TCK);
}

std::int64_t ChildProcess::cpuNs() const
{
    // utime and stime, fields 14 and 15; the name before them is in parentheses and may hold
    // spaces.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return (fields[11].toLongLong() + fields[12].toLongLong()) * cpuTickNs();
}

void ChildProcess::terminate()
{
    if (running())
        ::kill(m_pid, SIGTERM); // our own child
}
