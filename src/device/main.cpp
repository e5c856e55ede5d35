// marlune-device: a virtual device at the far end of marlune's serial line. See --help.
#include "device/deviceoptions.h"
#include "device/pseudoterminal.h"
#include "device/transferstore.h"
#include "device/virtualdevice.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/signalfd.h>

namespace {

// The device's nominal speed before the program sets one: what `--baud auto` starts with.
constexpr speed_t initialSpeed = B9600;

} // namespace

int main(int argc, char* argv[])
{
    DeviceOptions options;
    std::string error;
    switch (DeviceOptions::parse(argc, argv, &options, &error)) {
    case DeviceOptions::Outcome::Help:
        std::fputs(DeviceOptions::helpText().c_str(), stdout);
        return 0;
    case DeviceOptions::Outcome::Error:
        std::fprintf(stderr, "marlune-device: %s\nTry 'marlune-device --help'.\n", error.c_str());
        return 2;
    case DeviceOptions::Outcome::Run:
        break;
    }

    // Ctrl-C, SIGTERM and a closed terminal end the loop through a descriptor, so that it can
    // save what is arriving and remove the link; a reader of our output that went away must not
    // end us. A signal that we were started ignoring stays ignored (a shell ignores Ctrl-C for
    // the jobs it starts in the background, nohup ignores hang-ups): blocked, it would reach the
    // descriptor all the same.
    std::signal(SIGPIPE, SIG_IGN);
    // A store that reaches the file-size limit fails its write and says so, rather than ending
    // the device with its link left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current = {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        sigaddset(&stopSignals, signal);
    }
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stopFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        std::perror("marlune-device: signalfd");
        return 1;
    }

    TransferStore store(options.storeDir);
    PseudoTerminal line;
    if (!store.prepare(&error) || !line.create(initialSpeed, &error) ||
        (!options.linkPath.empty() && !line.makeLink(options.linkPath, &error))) {
        std::fprintf(stderr, "marlune-device: %s\n", error.c_str());
        return 1;
    }
    VirtualDevice device(options, line, store);
    return device.run(stopFd);
}
