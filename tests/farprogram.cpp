#include "farprogram.h"

#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Writes all of `size` bytes to `fd`, waiting while it is full.
bool writeAll(int fd, const char* data, ssize_t size, const std::atomic<bool>& stop)
{
    while (size > 0 && !stop) {
        const ssize_t put = ::write(fd, data, size_t(size));
        if (put > 0) {
            data += put;
            size -= put;
        } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd out{fd, POLLOUT, 0};
            ::poll(&out, 1, 50);
        }
    }
    return true;
}

} // namespace

FarProgram::FarProgram() = default;

bool FarProgram::start(const QString& command, const QString& folder)
{
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (!m_pty.isValid() || m_pid > 0 || ::pipe2(in, O_CLOEXEC) != 0 ||
        ::pipe2(out, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    const QByteArray line = QStringLiteral("cd '%1' && exec %2").arg(folder, command).toLocal8Bit();
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {sh, dashC, const_cast<char*>(line.constData()), nullptr};
    if (posix_spawn(&m_pid, sh, &actions, &attributes, argv, environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    m_toProgram = in[1];
    m_fromProgram = out[0];
    ::fcntl(m_toProgram, F_SETFL, ::fcntl(m_toProgram, F_GETFL) | O_NONBLOCK);
    if (m_pid > 0)
        m_thread = std::thread([this] { run(); });
    return m_pid > 0;
}

FarProgram::~FarProgram()
{
    int code = 0;
    if (m_pid > 0 && !waitForExit(0, &code)) {
        // A sender that lingers after its receiver finished: ended by its own id.
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    for (const int fd : {m_toProgram, m_fromProgram}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool FarProgram::waitForExit(int timeoutMs, int* exitCode)
{
    if (m_pid <= 0)
        return false;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1;
            return true;
        }
        if (clock.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(20);
    }
}

bool FarProgram::isHeld() const
{
    // A port holds its device with an exclusive lock on the descriptor.
    const int fd = ::open(m_pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return locked;
}

void FarProgram::run()
{
    pollfd fds[2] = {{m_pty.master(), POLLIN, 0}, {m_fromProgram, POLLIN, 0}};
    const int to[2] = {m_toProgram, m_pty.master()};
    char buffer[65536];
    while (!m_stop) {
        if (::poll(fds, 2, 50) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0)
                writeAll(to[i], buffer, got, m_stop);
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                fds[i].fd = -1; // the program closed its output, or the pty failed
        }
    }
}
