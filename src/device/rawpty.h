#pragma once

#include <string>
#include <termios.h>

// A raw pseudo-terminal pair: what the virtual device, the tests and the benchmarks put at the
// far end of the line. Both sides are raw from the start (all 256 byte values pass unchanged, no
// echo), both descriptors are close-on-exec, so a program started meanwhile does not hold the far
// end open, and the master does not block. The program under test opens `path()`, the slave.
class RawPty
{
public:
    // `speed` is the slave's initial speed (B9600, ...); B0 leaves it unset.
    explicit RawPty(speed_t speed = B0);
    ~RawPty();
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;

    bool isValid() const { return m_master >= 0; }
    // Why the pair could not be made; empty when it was.
    const std::string& error() const { return m_error; }
    const std::string& path() const { return m_path; }
    int master() const { return m_master; }

    // Closing the master looks to the program like an unplugged device.
    void closeMaster();
    // Without a descriptor of our own on the slave, the master reports a hang-up exactly while
    // no program has the slave open.
    void closeSlave();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    std::string m_error;
};
