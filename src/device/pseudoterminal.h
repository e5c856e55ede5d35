#pragma once

#include "device/rawpty.h"

#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

// The line between the device and the program: a raw pseudo-terminal pair. The program opens
// `devicePath()` (the slave side); the device reads and writes the master side and holds no
// descriptor of the slave, so that the kernel tells whether anyone has it open: the master
// reports a hang-up (POLLHUP, and EIO once what was sent is read) exactly while no process holds
// the slave open. An inotify watch on the slave wakes the device for each open and close, and the
// hang-up state then tells whether the slave is open; the order of the notifications tells an
// opening too short to be seen, or a close followed at once by an open. (The notifications alone
// cannot be counted: several of the same kind in a row merge into one.)
//
// After each close the device opens the slave for a moment, as a serial port's close would do,
// to drop what it wrote and the program did not read (the kernel keeps it for the next opener
// otherwise). Run as root, that also clears an exclusive mode (TIOCEXCL, which QSerialPort
// takes) that a killed program left behind; other users cannot open the slave then, and are
// told so.
class PseudoTerminal
{
public:
    enum class Change
    {
        Opened, // some process opened the slave, which nobody had open
        Closed, // the last process that had it open closed it
    };

    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Makes the pair, raw, with the slave at `initialSpeed` (B9600, ...).
    bool create(speed_t initialSpeed, std::string* error);
    // The slave and the master, once `create` succeeded.
    const std::string& devicePath() const { return m_pty->path(); }
    int masterFd() const { return m_pty->master(); }
    // Readable when the slave was opened; -1 when inotify is not available, and then only
    // asking `takeChanges` from time to time finds opens.
    int watchFd() const { return m_watch; }

    // A symbolic link to the device at `path`, replacing an older symbolic link there.
    bool makeLink(const std::string& path, std::string* error);
    // Removes the link, if it still points to this device.
    void removeLink();

    // Brings `isOpenByProgram` up to date, after the watch became readable or the master
    // reported a hang-up, and returns the changes in order. An opening that ended before it
    // could be seen open is reported as Opened then Closed.
    std::vector<Change> takeChanges();
    bool isOpenByProgram() const { return m_open; }

    // The speed the program set on its end, in bits per second, whether a standard one or not;
    // 0 when it cannot tell. (On the master, the terminal's settings are the slave's.)
    long programSpeed() const;

    // Up to `size` bytes from the program: the count read, 0 when nothing is waiting, -1 on an
    // error (errno tells; EIO once the slave is closed and everything sent was read).
    ssize_t read(char* buffer, std::size_t size);
    // Up to `size` bytes to the program: the count written, 0 when the line is full, -1 on an
    // error.
    ssize_t write(const char* data, std::size_t size);

private:
    struct Notifications
    {
        bool opened = false;           // the slave was opened
        bool closedThenOpened = false; // ... after a close
    };

    bool slaveIsOpen() const;
    // Reads the waiting notifications. Several of the same kind in a row may have merged.
    Notifications takeNotifications();
    void resetSlave();

    std::optional<RawPty> m_pty;
    int m_watch = -1;
    bool m_open = false;
    // A close was notified while the slave still looked open.
    bool m_closeSeen = false;
    std::string m_link;
};
