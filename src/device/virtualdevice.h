#pragma once

#include "device/deviceoptions.h"
#include "device/fileplayer.h"
#include "device/linepacer.h"
#include "device/pseudoterminal.h"
#include "device/transferstore.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The device's behaviour: it stores what the program sends and plays a file to it by the rules
// that `DeviceOptions::helpText` gives, pacing both directions. Everything happens in one poll()
// loop, which sleeps until a byte can move, the program opens or closes the port, a signal
// comes, or the next deadline (a transfer's end, a play's start, the paced line's next portion)
// is due; it never wakes up for nothing.
class VirtualDevice
{
public:
    VirtualDevice(const DeviceOptions& options, PseudoTerminal& line, TransferStore& store);

    // Announces the device and runs until `stopFd` (a signalfd) becomes readable; then saves a
    // transfer that was arriving. Returns the exit status.
    int run(int stopFd);

private:
    using Clock = std::chrono::steady_clock;

    // One wait on the line and what it brought; false when the device is to stop.
    bool step(int stopFd, int* status);
    // How long a wait may last: until the next deadline, or the next look for an open.
    int pollTimeoutMs(Clock::time_point now, bool lookForOpens) const;
    void followSpeed();
    void onOpened(Clock::time_point now);
    void onClosed();
    void readFromProgram(Clock::time_point now);
    // Stores the `count` bytes just read into the buffer.
    void keepReceived(ssize_t count, Clock::time_point now);
    // Reads, unpaced, what the program already wrote; for the end of the run.
    void drainLine();
    void writeToProgram(Clock::time_point now);
    void endTransfer();
    void startPlay();
    void finishPlay();
    void stopPlay();
    std::optional<Clock::time_point> transferEndsAt() const;
    std::optional<Clock::time_point> playStartsAt() const;
    std::optional<Clock::time_point> nextDeadline(Clock::time_point now) const;

    const DeviceOptions& m_options;
    PseudoTerminal& m_line;
    TransferStore& m_store;
    FilePlayer m_player;
    LinePacer m_readPacer;
    LinePacer m_writePacer;
    Clock::duration m_gap;
    long m_speed = -1;       // bits per second in force; 0: no pacing
    long m_programSpeed = 0; // with --baud auto: the program's, as last seen while it had the port
    Clock::time_point m_openedAt{};
    Clock::time_point m_lastByteAt{};
    Clock::time_point m_readRetryAt{};
    bool m_tailRead = true; // the port is closed and all that the program sent was read
    bool m_playedThisOpening = false;
    bool m_sendingThisOpening = false; // the program began a transfer after opening the port
    std::vector<char> m_buffer;
};
