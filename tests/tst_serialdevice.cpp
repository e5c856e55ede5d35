#include "platform/serialdevice.h"
#include "ptypair.h"

#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t nobody = 65534;

// Root opens a device past its exclusive mark, so as root the opens that must meet the mark run
// in a child that drops to an ordinary user. It stays dumpable, so that another process of that
// user may look at its descriptors, as at any program the user started.
bool becomeOrdinaryUser()
{
    return ::geteuid() != 0 || (::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 &&
                                ::setuid(nobody) == 0 && ::prctl(PR_SET_DUMPABLE, 1) == 0);
}

// Why SerialDevice, run by an ordinary user, could not open `path`; empty when it could.
QString openError(const QString& path)
{
    const auto attempt = [&path] {
        SerialDevice device;
        QString error;
        return device.open(path, LineSettings{}, &error) ? QString() : error;
    };
    if (::geteuid() != 0)
        return attempt();
    int ends[2];
    if (::pipe(ends) != 0)
        return QStringLiteral("<no pipe>");
    const pid_t child = ::fork();
    if (child == 0) {
        const QByteArray text =
            becomeOrdinaryUser() ? attempt().toUtf8() : QByteArray("<cannot leave root>");
        const bool written = ::write(ends[1], text.constData(), text.size()) == text.size();
        ::_exit(written ? 0 : 1);
    }
    ::close(ends[1]);
    QByteArray text;
    char buffer[1024];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    ::close(ends[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return QString::fromUtf8(text);
}

// A process named "ttyholder", run by an ordinary user, that holds the device open, marked for
// exclusive use, until it is destroyed.
class TtyHolder
{
public:
    explicit TtyHolder(const QString& path)
    {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(m_release) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_NAME, "ttyholder");
            const int fd = becomeOrdinaryUser()
                               ? ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY)
                               : -1;
            const char held = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 ? 'y' : 'n';
            ::close(m_release[1]);
            char byte;
            if (::write(ready[1], &held, 1) == 1) {
                while (::read(m_release[0], &byte, 1) > 0) {
                } // until the test closes its end
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(m_release[0]);
        char held = 'n';
        m_holding = m_pid > 0 && ::read(ready[0], &held, 1) == 1 && held == 'y';
        ::close(ready[0]);
    }
    ~TtyHolder()
    {
        ::close(m_release[1]);
        if (m_pid > 0)
            ::waitpid(m_pid, nullptr, 0);
    }
    TtyHolder(const TtyHolder&) = delete;
    TtyHolder& operator=(const TtyHolder&) = delete;

    bool isHolding() const { return m_holding; }
    pid_t pid() const { return m_pid; }

private:
    int m_release[2] = {-1, -1};
    pid_t m_pid = -1;
    bool m_holding = false;
};

} // namespace

// EBUSY on open: a process that holds the device is named; when none is seen, the message says
// that only the exclusive mark is left, as after its holder was killed.
class SerialDeviceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<PtyPair> m_pty;

private slots:
    void init()
    {
        m_pty = std::make_unique<PtyPair>();
        QVERIFY(m_pty->isValid());
        if (::geteuid() == 0) {
            const QByteArray path = QFile::encodeName(m_pty->devicePath());
            QCOMPARE(::chown(path.constData(), nobody, nobody), 0);
        }
    }
    void cleanup() { m_pty.reset(); }

    void markLeftBehind()
    {
        // The pty keeps the mark of a descriptor that is gone while its master stays open.
        const int fd =
            ::open(QFile::encodeName(m_pty->devicePath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        QCOMPARE(::ioctl(fd, TIOCEXCL), 0);
        ::close(fd);
        const QString error = openError(m_pty->devicePath());
        QVERIFY2(error.contains(QLatin1String("marked for exclusive use")), qPrintable(error));
        QVERIFY2(!error.contains(QLatin1String("in use by another program")), qPrintable(error));
    }

    void heldByAnotherProgram()
    {
        const TtyHolder holder(m_pty->devicePath());
        QVERIFY(holder.isHolding());
        const QString error = openError(m_pty->devicePath());
        QVERIFY2(error.contains(QStringLiteral("in use by another program (ttyholder, process %1).")
                                    .arg(holder.pid())),
                 qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(SerialDeviceTest)
#include "tst_serialdevice.moc"
