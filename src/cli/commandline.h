#pragma once

#include "platform/linesettings.h"
#include "transfer/modemoptions.h"
#include "transfer/sendpacing.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// The program's command line. Without a command the window opens; `send FILE` and
// `receive FILE` run one transfer without it ("-" for standard input or output), `ports` lists
// the serial devices present. --com1 PATH and --com2 PATH map a port number to any device for
// this run (a USB adapter, a pseudo-terminal), and --device PATH names the device of the port in
// use, before or after the command.
struct CommandLine
{
    enum class Command
    {
        Window,
        Send,
        Receive,
        Ports,
    };

    // How the program ends, for scripts.
    static constexpr int exitSuccess = 0;
    static constexpr int exitFailure = 1; // the transfer failed or was refused
    static constexpr int exitUsage = 2;   // the command line was not understood

    // The file name that stands for standard input (send) or standard output (receive).
    static inline const QString standardStream = QStringLiteral("-");

    Command command = Command::Window;
    QMap<int, QString> devices;      // --com1 and --com2, by port number
    QString device;                  // --device; empty when not given
    QString file;                    // send and receive
    std::optional<int> port;         // 1 or 2; the stored choice when absent
    std::optional<qint32> baud;      // bits per second; the stored settings when absent
    std::optional<qint64> idleMs;    // receive: end after this long without a byte
    std::optional<qint64> timeoutMs; // receive: give up when no first byte came in this time
    std::optional<qint64> maxBytes;  // receive: end once this many bytes are stored
    bool force = false;              // receive: overwrite a file that holds data
    bool json = false;               // ports: as JSON
    // send and receive: raw bytes, or XMODEM, XMODEM-1K, YMODEM with its timeouts and retries.
    TransferProtocol protocol = TransferProtocol::Raw;
    ModemOptions modem;

    // Line: flow control and speeds beyond the settings string.
    std::optional<LineSettings::Flow> flow; // --flow; the port's stored choice when absent

    // Send pacing: --char-delay, --line-delay, --wait-for and --wait-timeout.
    SendPacing pacing;

    // Devices that come and go.
    std::optional<qint64> waitForDeviceMs; // --wait-for-device: how long to wait for it
    bool reconnect = false;                // receive: --reconnect

    QString error; // empty when the line was understood
    bool helpRequested = false;
    bool versionRequested = false;
    QString helpText; // the help of the command given, or the general help

    static CommandLine parse(const QStringList& arguments);

    // Whether the arguments ask for the window, decided without any application object so the
    // program knows whether it needs a display. Help, the version and anything naming a command
    // run without.
    static bool opensWindow(const QStringList& arguments);

    // "marlune 0.1.0".
    static QString versionText();

    // The devices to map for this run once the port in use is known: --com1 and --com2, and
    // --device as the device of `portInUse`.
    QMap<int, QString> devicesForRun(int portInUse) const;
};
