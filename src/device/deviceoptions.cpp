#include "device/deviceoptions.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::optional<long> parseNumber(const std::string& text, long min, long max)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

DeviceOptions::Outcome DeviceOptions::parse(int argc, const char* const* argv, DeviceOptions* out,
                                            std::string* error)
{
    DeviceOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> value;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "-h" || name == "--help")
            return Outcome::Help;
        if (name == "--no-play" && !value) {
            options.playEnabled = false;
            continue;
        }
        if (name != "--store" && name != "--link" && name != "--play" && name != "--gap-ms" &&
            name != "--baud") {
            *error = "unknown option " + std::string(argv[i]);
            return Outcome::Error;
        }
        if (!value && i + 1 < argc)
            value = std::string(argv[++i]);
        if (!value || value->empty()) {
            *error = name + " needs a value";
            return Outcome::Error;
        }
        if (!options.take(name, *value, error))
            return Outcome::Error;
    }
    if (!options.playEnabled && !options.playFile.empty()) {
        *error = "--play and --no-play contradict each other";
        return Outcome::Error;
    }
    *out = options;
    return Outcome::Run;
}

bool DeviceOptions::take(const std::string& name, const std::string& given, std::string* error)
{
    if (name == "--store") {
        storeDir = given;
    } else if (name == "--link") {
        linkPath = given;
    } else if (name == "--play") {
        struct stat info = {};
        if (::stat(given.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            ::access(given.c_str(), R_OK) != 0) {
            *error = "--play needs a readable file: " + given;
            return false;
        }
        playFile = given;
    } else if (name == "--gap-ms") {
        const auto gap = parseNumber(given, 1, 3'600'000);
        if (!gap) {
            *error = "--gap-ms needs a number of milliseconds from 1 to 3600000, not " + given;
            return false;
        }
        gapMs = static_cast<int>(*gap);
    } else if (given == "auto") { // --baud
        baudFollowsProgram = true;
    } else {
        const auto speed = parseNumber(given, 0, 100'000'000);
        if (!speed || (*speed > 0 && *speed < 10)) {
            *error = "--baud needs 0, auto or a speed of at least 10 bits per second, not " + given;
            return false;
        }
        baud = *speed;
        baudFollowsProgram = false;
    }
    return true;
}

namespace {

constexpr const char* help = R"(Usage: marlune-device [OPTIONS]

Stands in for the device at the far end of marlune's serial line, for trying the
program without hardware and for tests. It makes a pseudo-terminal in raw mode and
prints the device to give the program, e.g. "marlune --com1 /dev/pts/7". It stores
every file the program sends, and sends a file back when the program waits to
receive one. Ctrl-C or SIGTERM ends it; a transfer still arriving is saved first,
with every byte the program had written.

Options:
  --store DIR    Save each transfer from the program, byte for byte, as the next
                 numbered file in DIR: 0001.bin, 0002.bin, ... An existing file is
                 never overwritten. DIR is made when missing. Default: the current
                 directory.
  --gap-ms MS    A transfer ends after MS milliseconds without a byte from the
                 program; the next byte starts a new one. It is also how long the
                 program must stay quiet before a play. Default: 1000.
  --play FILE    The file to send to the program. Default: the last file stored,
                 by this run or, before the first, the highest-numbered file that
                 was in DIR at the start; so sending a file and then receiving
                 gives it back.
  --no-play      Never send anything to the program; only store.
  --baud N       Pace both directions at N/10 bytes per second, as a real line with
                 8 data bits, no parity and 1 stop bit would; a pseudo-terminal
                 itself ignores the speed. 0: as fast as possible (the default).
                 auto: follow the speed the program sets on its end of the line.
  --link PATH    Also make a symbolic link PATH to the device, which stays the same
                 from run to run. An older link there is replaced; the link is
                 removed on exit.
  -h, --help     Show this help.

When a file is played:
  - only while the program has the port open, once it has had it open for the
    gap without sending a byte: press "Receive File" and wait;
  - at most once each time the program opens the port; to get it again, close
    and open the port (stop and start the reception);
  - never while a transfer from the program is still arriving (the play waits
    until the transfer has ended and is stored), and never during an opening in
    which the program began sending a transfer;
  - when the program closes the port during a play, the play stops and what it
    had not read yet is dropped, as on a line that nobody listens to. The next
    play starts the file from its beginning.

Line speed:
  Reading is paced, so the program's writes are held back as by a slow line. The
  kernel still buffers some kilobytes between the two ends (about 12 to 18 KiB
  on Linux 6), so a program that sends finishes up to that much ahead of the
  device, and the file is stored that much later.

Standard output: one line for each event, flushed at once.
  device PATH                   always the first line: the device for the program
  link PATH                     with --link
  opened                        the program opened the port
  closed                        the program closed the port
  stored FILE SIZE SHA256       a transfer was saved, SIZE bytes
  played FILE SIZE SHA256       a file was handed to the line completely
  play-stopped FILE SENT SIZE   a play ended after SENT of SIZE bytes: the port
                                was closed, or the device was stopped
  store-failed FILE KEPT SIZE   a write failed (the disk is full, say): FILE, or
                                DIR when no file could be made, holds only the
                                first KEPT of the SIZE bytes that arrived
  FILE may contain spaces; the fields after it never do. Messages for people go
  to standard error.

Exit status: 0 when ended by Ctrl-C or SIGTERM, 1 when the device cannot be set
up, 2 for a wrong option.
)";

} // namespace

std::string DeviceOptions::helpText()
{
    return help;
}
