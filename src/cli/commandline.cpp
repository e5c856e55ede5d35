#include "cli/commandline.h"

#include "platform/linesettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>
#include <functional>
#include <limits>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("CommandLine", text);
}

const char generalHelp[] =
    "Usage: marlune [--com1 PATH] [--com2 PATH] [--device PATH]\n"
    "       marlune send FILE|- [options]\n"
    "       marlune receive FILE|DIR|- [options]\n"
    "       marlune ports [--json]\n"
    "\n"
    "Sends files to and receives files from a device on a serial line, byte for byte\n"
    "(nothing is added to the bytes on the line), or with XMODEM, XMODEM-1K or\n"
    "YMODEM (--protocol). Without a command the window opens.\n"
    "\n"
    "Commands (no window, no display needed):\n"
    "  send FILE        Send the bytes of FILE (- for standard input), then exit.\n"
    "  receive FILE     Store the bytes that arrive in FILE (- for standard output)\n"
    "                   until stopped.\n"
    "  ports            List the serial devices present.\n"
    "  \"marlune COMMAND --help\" lists the options of a command.\n"
    "\n"
    "Options:\n"
    "  --com1 PATH      Use PATH as COM1 for this run (for example /dev/ttyUSB0).\n"
    "                   Given without --com2, the window also starts on COM1.\n"
    "  --com2 PATH      Use PATH as COM2 for this run; given without --com1, the\n"
    "                   window also starts on COM2.\n"
    "  --device PATH    Use PATH as the device of the port the window starts on (the\n"
    "                   port last chosen), for this run.\n"
    "  -h, --help       Show this help and exit.\n"
    "  --version        Show the version and exit.\n";

// The options of both transfer commands; %1 and %2 are the lowest and highest speed.
const char portOptionsHelp[] =
    "  --port 1|2       The port: COM1 or COM2. Default: the one of --com1 and\n"
    "                   --com2 given alone, else the port last chosen in the window,\n"
    "                   else 2.\n"
    "  --baud N         The speed in bits per second, any whole number from %1\n"
    "                   to %2 that the device can use, with no parity, 8 data\n"
    "                   bits and 1 stop bit (N,8,1). Default: the speed last chosen\n"
    "                   in the window, else 9600.\n"
    "  --device PATH    Use PATH as the line for this run: the device of the port\n"
    "                   in use, which messages still name, as \"COM2 (PATH)\".\n"
    "  --com1 PATH      Use PATH as COM1 for this run (for example /dev/ttyUSB0).\n"
    "  --com2 PATH      Use PATH as COM2 for this run.\n"
    "                   Either, given alone without --port, also selects its port;\n"
    "                   with both, the port is --port or the one last chosen.\n"
    "                   Default devices: Device1 and Device2 in the stored settings,\n"
    "                   else the platform's first and second serial port.\n"
    "  -h, --help       Show this help and exit.\n"
    "  --version        Show the version and exit.\n";

// Line options of both transfer commands: flow control.
const char lineOptionsHelp[] =
    "  --flow none|rtscts|xonxoff\n"
    "                   The flow control: none, RTS/CTS (the device holds back the\n"
    "                   send with its CTS wire, the program the device with RTS) or\n"
    "                   XON/XOFF (the bytes 0x11 and 0x13 on the line pause and\n"
    "                   resume; they never reach FILE, and a file that holds them is\n"
    "                   sent with a warning, as the device takes them for flow\n"
    "                   control). Default: the one last chosen in the window for the\n"
    "                   port, else none.\n"
    "  --wait-for-device SECONDS\n"
    "                   When the device is absent (a board's USB port that comes\n"
    "                   back after a reset, an adapter not yet plugged in), wait up\n"
    "                   to SECONDS for it to appear, then start. Without it an\n"
    "                   absent device fails at once.\n";

// Receive only: outlasting the loss of the device.
const char reconnectHelp[] =
    "  --reconnect      When the device goes away, keep FILE open with every byte\n"
    "                   that arrived, say so, wait for the device to come back under\n"
    "                   the same name (or its /dev/serial/by-id name) and go on\n"
    "                   appending; the summary tells the gaps and how long they\n"
    "                   were. Without it the reception ends when the device goes.\n";

// The options of a protocol transfer, for both commands.
const char protocolHelp[] =
    "  --protocol raw|xmodem|xmodem-1k|ymodem\n"
    "                   raw (the default): the bytes alone. xmodem: 128-byte blocks\n"
    "                   with a CRC-16 or a checksum, as the receiver asks. xmodem-1k:\n"
    "                   1024-byte blocks. ymodem: 1024-byte blocks after a header\n"
    "                   with the file's name and size.\n"
    "                   XMODEM pads the last block with 0x1A bytes, and a receiver\n"
    "                   strips them: a file whose own last bytes are 0x1A loses them\n"
    "                   with XMODEM and XMODEM-1K (a limit of the protocol). YMODEM\n"
    "                   cuts the file to the size in its header and keeps them.\n"
    "  --start-timeout SECONDS\n"
    "                   How long the far end may take to begin (a device still\n"
    "                   booting may call many times first). Default: 60.\n"
    "  --block-timeout SECONDS\n"
    "                   How long an answer or the rest of a block may take before it\n"
    "                   is asked for again. Default: 10.\n"
    "  --retries N      How many times one block is tried again before the transfer\n"
    "                   is given up with CAN CAN. Default: 10.\n";

const char sendHelp[] =
    "Usage: marlune send FILE|- [--protocol NAME] [--port 1|2] [--baud N]\n"
    "                           [--start-timeout SECONDS] [--block-timeout SECONDS]\n"
    "                           [--retries N] [--device PATH] [--com1 PATH]\n"
    "                           [--com2 PATH] [--flow none|rtscts|xonxoff]\n"
    "                           [--char-delay MS] [--line-delay MS]\n"
    "                           [--wait-for TEXT [--wait-timeout SECONDS]]\n"
    "                           [--wait-for-device SECONDS]\n"
    "\n"
    "Sends the bytes of FILE over the serial line exactly as they are, and exits\n"
    "once every byte has left. With - it sends standard input until its end (a file\n"
    "named - is ./-). Progress goes to standard error: a live line on a terminal,\n"
    "otherwise a line every few seconds; at the end a summary with the byte count,\n"
    "the time, the rate and the SHA-256 of what was sent.\n"
    "Ctrl-C, SIGTERM or SIGHUP stops the send at once; what is still queued is thrown\n"
    "away.\n"
    "With --protocol the device receives FILE (standard input cannot be sent so) by\n"
    "XMODEM, XMODEM-1K or YMODEM: the send waits for the receiver to begin, and ends\n"
    "once the receiver acknowledged the end. Progress counts the acknowledged bytes.\n"
    "Ctrl-C cancels the transfer with CAN CAN.\n"
    "\n"
    "Options:\n";

// Pacing for devices that read slower than the line delivers and have no flow control.
const char pacingHelp[] =
    "  --char-delay MS  Pause MS milliseconds after each byte has left.\n"
    "  --line-delay MS  Pause MS milliseconds after each line (a line ends with a\n"
    "                   line feed; line endings are sent as they are in FILE).\n"
    "  --wait-for TEXT  After each line, wait until the device sends TEXT (such as\n"
    "                   its prompt \">\") before going on; then --line-delay, if given.\n"
    "  --wait-timeout SECONDS\n"
    "                   How long --wait-for waits after a line (may have a fraction)\n"
    "                   before it stops the send. Default: 10.\n";

const char sendExitHelp[] =
    "\n"
    "Exit status:\n"
    "  0  every byte was sent\n"
    "  1  the send failed or was stopped (the port or the file could not be opened or\n"
    "     read, the device refused the speed or went away, the text of --wait-for\n"
    "     did not come in time, the device did not appear within --wait-for-device;\n"
    "     with --protocol, the receiver did not begin, cancelled, or refused a block\n"
    "     too many times: the message names the block and why)\n"
    "  2  the command line was not understood\n";

const char receiveHelp[] =
    "Usage: marlune receive FILE|- [--port 1|2] [--baud N] [--idle SECONDS]\n"
    "                              [--timeout SECONDS] [--max-bytes N] [--force]\n"
    "                              [--device PATH] [--com1 PATH] [--com2 PATH]\n"
    "                              [--flow none|rtscts|xonxoff]\n"
    "                              [--wait-for-device SECONDS] [--reconnect]\n"
    "       marlune receive FILE|DIR --protocol NAME [--start-timeout SECONDS]\n"
    "                              [--block-timeout SECONDS] [--retries N] [--force]\n"
    "                              [--port 1|2] [--baud N] [--device PATH] ...\n"
    "\n"
    "Stores every byte that arrives on the serial line in FILE, in arrival order,\n"
    "until Ctrl-C (or SIGTERM, SIGHUP), --idle or --max-bytes ends it. With - the\n"
    "bytes go to standard output (a file named - is ./-); its reader has a second\n"
    "after the end to take what is left. Each byte read reaches the file at once, and\n"
    "the last bytes still waiting in the port are collected before the end. Progress\n"
    "goes to standard error; at the end a summary with the byte count, the time from\n"
    "the first to the last byte, the rate and the SHA-256 of what was stored.\n"
    "With --protocol the device sends by XMODEM, XMODEM-1K or YMODEM into FILE, or\n"
    "with YMODEM into the folder DIR under the sender's file name (its base name only,\n"
    "never a path outside DIR). The reception ends with the transfer; a transfer that\n"
    "fails keeps the bytes received, and the message says what was kept. --idle,\n"
    "--timeout and --max-bytes are for raw receptions only.\n"
    "\n"
    "Options:\n"
    "  --idle SECONDS   End after SECONDS (may have a fraction) without a byte,\n"
    "                   counted from the first byte.\n"
    "  --timeout SECONDS\n"
    "                   Give up when no first byte arrived within SECONDS; FILE is\n"
    "                   then left as it was found. Without it the reception waits\n"
    "                   for the first byte however long it takes.\n"
    "  --max-bytes N    End once N bytes are stored; FILE then holds exactly N.\n"
    "  --force          Overwrite FILE even when it holds data. Without it a file\n"
    "                   that is not empty is refused. Either way FILE is emptied only\n"
    "                   once the port has opened (with --timeout: at the first byte).\n";

const char receiveExitHelp[] =
    "\n"
    "Exit status:\n"
    "  0  the reception ended by Ctrl-C, SIGTERM, SIGHUP, --idle or --max-bytes;\n"
    "     with --protocol, the sender's transfer completed\n"
    "  1  the reception failed or was refused: FILE is not empty and --force was not\n"
    "     given, the port or the file could not be opened, the device refused the\n"
    "     speed, no first byte came within --timeout, a write failed, the reader of\n"
    "     standard output went away or stopped reading, the device went away without\n"
    "     --reconnect (every byte read before is in FILE), the device did not appear\n"
    "     within --wait-for-device\n"
    "  2  the command line was not understood\n";

const char portsHelp[] =
    "Usage: marlune ports [--json]\n"
    "\n"
    "Lists the serial devices present, one a line: the path, the stable name under\n"
    "/dev/serial/by-id, the description, the manufacturer, the serial number and the\n"
    "port numbers that stand for it (COM1, COM2), separated by tabs, with - for what\n"
    "is unknown. Pseudo-terminals are not listed. Prints nothing when there are none.\n"
    "\n"
    "Options:\n"
    "  --json           The same as a JSON array of objects with the keys path,\n"
    "                   stablePath, description, manufacturer, serialNumber (null\n"
    "                   when unknown) and ports (such as [\"COM1\"]); [] when there\n"
    "                   are none.\n"
    "  -h, --help       Show this help and exit.\n"
    "  --version        Show the version and exit.\n";

// Options that the window system takes for itself (-platform offscreen, -style fusion). The
// window's application object removes them before the real parse.
bool isWindowSystemOption(QString argument)
{
    static const QStringList options{
        QStringLiteral("-platform"),        QStringLiteral("-platformpluginpath"),
        QStringLiteral("-platformtheme"),   QStringLiteral("-plugin"),
        QStringLiteral("-qwindowgeometry"), QStringLiteral("-qwindowicon"),
        QStringLiteral("-qwindowtitle"),    QStringLiteral("-style"),
        QStringLiteral("-stylesheet"),      QStringLiteral("-session"),
        QStringLiteral("-display"),         QStringLiteral("-geometry"),
        QStringLiteral("-reverse"),         QStringLiteral("-widgetcount"),
    };
    if (argument.startsWith(QLatin1String("--")))
        argument.remove(0, 1);
    return options.contains(argument.section(QLatin1Char('='), 0, 0));
}

using Command = CommandLine::Command;

// Every option, and the commands it belongs to.
struct Options
{
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QString()};
    const QCommandLineOption version{QStringLiteral("version"), QString()};
    const QCommandLineOption com1{QStringLiteral("com1"), QString(), QStringLiteral("PATH")};
    const QCommandLineOption com2{QStringLiteral("com2"), QString(), QStringLiteral("PATH")};
    const QCommandLineOption device{QStringLiteral("device"), QString(), QStringLiteral("PATH")};
    const QCommandLineOption port{QStringLiteral("port"), QString(), QStringLiteral("1|2")};
    const QCommandLineOption baud{QStringLiteral("baud"), QString(), QStringLiteral("N")};
    const QCommandLineOption idle{QStringLiteral("idle"), QString(), QStringLiteral("SECONDS")};
    const QCommandLineOption timeout{QStringLiteral("timeout"), QString(),
                                     QStringLiteral("SECONDS")};
    const QCommandLineOption maxBytes{QStringLiteral("max-bytes"), QString(), QStringLiteral("N")};
    const QCommandLineOption force{QStringLiteral("force"), QString()};
    const QCommandLineOption json{QStringLiteral("json"), QString()};
    // Line options.
    const QCommandLineOption flow{QStringLiteral("flow"), QString(),
                                  QStringLiteral("none|rtscts|xonxoff")};
    // Send pacing.
    const QCommandLineOption charDelay{QStringLiteral("char-delay"), QString(),
                                       QStringLiteral("MS")};
    const QCommandLineOption lineDelay{QStringLiteral("line-delay"), QString(),
                                       QStringLiteral("MS")};
    const QCommandLineOption waitFor{QStringLiteral("wait-for"), QString(), QStringLiteral("TEXT")};
    const QCommandLineOption waitTimeout{QStringLiteral("wait-timeout"), QString(),
                                         QStringLiteral("SECONDS")};
    // Devices that come and go.
    const QCommandLineOption waitForDevice{QStringLiteral("wait-for-device"), QString(),
                                           QStringLiteral("SECONDS")};
    const QCommandLineOption reconnect{QStringLiteral("reconnect"), QString()};
    const QCommandLineOption protocol{QStringLiteral("protocol"), QString(),
                                      QStringLiteral("NAME")};
    const QCommandLineOption startTimeout{QStringLiteral("start-timeout"), QString(),
                                          QStringLiteral("SECONDS")};
    const QCommandLineOption blockTimeout{QStringLiteral("block-timeout"), QString(),
                                          QStringLiteral("SECONDS")};
    const QCommandLineOption retries{QStringLiteral("retries"), QString(), QStringLiteral("N")};

    struct Belonging
    {
        const QCommandLineOption* option;
        QList<Command> commands;
        const char* where;
    };
    const QList<Belonging> belonging{
        {&com1, {Command::Window, Command::Send, Command::Receive}, "the window and the transfers"},
        {&com2, {Command::Window, Command::Send, Command::Receive}, "the window and the transfers"},
        {&device,
         {Command::Window, Command::Send, Command::Receive},
         "the window and the transfers"},
        {&port, {Command::Send, Command::Receive}, "the send and receive commands"},
        {&baud, {Command::Send, Command::Receive}, "the send and receive commands"},
        {&idle, {Command::Receive}, "the receive command only"},
        {&timeout, {Command::Receive}, "the receive command only"},
        {&maxBytes, {Command::Receive}, "the receive command only"},
        {&force, {Command::Receive}, "the receive command only"},
        {&json, {Command::Ports}, "the ports command only"},
        {&flow, {Command::Send, Command::Receive}, "the send and receive commands"},
        {&charDelay, {Command::Send}, "the send command only"},
        {&lineDelay, {Command::Send}, "the send command only"},
        {&waitFor, {Command::Send}, "the send command only"},
        {&waitTimeout, {Command::Send}, "the send command only"},
        {&waitForDevice, {Command::Send, Command::Receive}, "the send and receive commands"},
        {&reconnect, {Command::Receive}, "the receive command only"},
        {&protocol, {Command::Send, Command::Receive}, "the send and receive commands"},
        {&startTimeout, {Command::Send, Command::Receive}, "the send and receive commands"},
        {&blockTimeout, {Command::Send, Command::Receive}, "the send and receive commands"},
        {&retries, {Command::Send, Command::Receive}, "the send and receive commands"},
    };

    QList<QCommandLineOption> all() const
    {
        QList<QCommandLineOption> list{help, version};
        for (const Belonging& entry : belonging)
            list << *entry.option;
        return list;
    }
};

// The command the first word names, with its help; an error for a word that names none.
QString readCommand(const QStringList& words, CommandLine* line)
{
    static const QList<std::pair<QString, Command>> commands{
        {QStringLiteral("send"), Command::Send},
        {QStringLiteral("receive"), Command::Receive},
        {QStringLiteral("ports"), Command::Ports},
    };
    if (words.isEmpty())
        return QString();
    for (const auto& [word, command] : commands) {
        if (words.first() == word) {
            line->command = command;
            const QString portHelp =
                tr(portOptionsHelp).arg(LineSettings::lowestSpeed).arg(LineSettings::highestSpeed) +
                tr(lineOptionsHelp);
            line->helpText =
                command == Command::Send
                    ? tr(sendHelp) + tr(protocolHelp) + portHelp + tr(pacingHelp) + tr(sendExitHelp)
                : command == Command::Receive ? tr(receiveHelp) + tr(protocolHelp) + portHelp +
                                                    tr(reconnectHelp) + tr(receiveExitHelp)
                                              : tr(portsHelp);
            return QString();
        }
    }
    return tr("Unknown command \"%1\"; the commands are send, receive and ports.")
        .arg(words.first());
}

// The FILE of a transfer; ports takes no word after it.
QString readWords(const QStringList& words, CommandLine* line)
{
    if (line->command == Command::Window)
        return QString();
    const qsizetype wanted = line->command == Command::Ports ? 1 : 2;
    if (words.size() < wanted || (wanted == 2 && words[1].isEmpty()))
        return tr("%1 needs a FILE.").arg(words.first());
    if (words.size() > wanted)
        return tr("Unexpected argument: %1").arg(words[wanted]);
    if (wanted == 2)
        line->file = words[1];
    return QString();
}

// The devices named for this run, and the port that --com1 or --com2 given alone selects.
QString readDevices(const QCommandLineParser& parser, const Options& options, CommandLine* line)
{
    for (const auto& [number, option] : {std::pair{1, &options.com1}, {2, &options.com2}}) {
        if (!parser.isSet(*option))
            continue;
        const QString device = parser.value(*option);
        if (device.isEmpty())
            return tr("--com%1 needs a device.").arg(number);
        line->devices.insert(number, device);
    }
    if (line->devices.size() == 1 && !line->port)
        line->port = line->devices.firstKey();
    if (!parser.isSet(options.device))
        return QString();
    line->device = parser.value(options.device);
    if (line->device.isEmpty())
        return tr("--device needs a device.");
    // --device is the device of the port in use, which would have two devices otherwise.
    if (line->port && line->devices.contains(*line->port))
        return tr("--device and --com%1 both name the device of COM%1; give one of them.")
            .arg(*line->port);
    if (line->devices.size() == 2)
        return tr("--device cannot go with both --com1 and --com2: it would replace one of "
                  "them.");
    return QString();
}

// A whole number, or one with a fraction when `fraction` is set; nothing else.
std::optional<double> parseNumber(const QString& text, bool fraction)
{
    bool ok = false;
    const double value = fraction ? text.toDouble(&ok) : double(text.toLongLong(&ok));
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// --idle and --timeout: seconds, with a fraction, in milliseconds.
QString readSeconds(const QCommandLineParser& parser, const QCommandLineOption& option,
                    std::optional<qint64>* ms)
{
    if (!parser.isSet(option))
        return QString();
    const QString text = parser.value(option);
    // A week is far beyond any real pause and keeps the milliseconds well inside range.
    constexpr double longest = 7 * 24 * 3600;
    const std::optional<double> seconds = parseNumber(text, true);
    if (!seconds || *seconds <= 0 || *seconds > longest)
        return tr("--%1 must be a number of seconds above 0 and at most a week, not \"%2\".")
            .arg(option.names().first(), text);
    *ms = std::max<qint64>(1, std::llround(*seconds * 1000));
    return QString();
}

QString readLineOptions(const QCommandLineParser& parser, const Options& options, CommandLine* line)
{
    if (parser.isSet(options.port)) {
        const QString text = parser.value(options.port);
        if (text != QLatin1String("1") && text != QLatin1String("2"))
            return tr("--port must be 1 or 2, not \"%1\".").arg(text);
        line->port = text.toInt();
    }
    if (parser.isSet(options.baud)) {
        const QString text = parser.value(options.baud);
        const std::optional<double> speed = parseNumber(text, false);
        if (!speed || *speed < LineSettings::lowestSpeed || *speed > LineSettings::highestSpeed)
            return tr("--baud must be a whole number of bits per second from %1 to %2, not "
                      "\"%3\".")
                .arg(LineSettings::lowestSpeed)
                .arg(LineSettings::highestSpeed)
                .arg(text);
        line->baud = qint32(*speed);
    }
    return QString();
}

// Flow control.
QString readFlowOptions(const QCommandLineParser& parser, const Options& options, CommandLine* line)
{
    if (!parser.isSet(options.flow))
        return QString();
    const QString text = parser.value(options.flow);
    line->flow = LineSettings::flowNamed(text);
    if (!line->flow)
        return tr("--flow must be none, rtscts or xonxoff, not \"%1\".").arg(text);
    return QString();
}

// Send pacing.
QString readPacingOptions(const QCommandLineParser& parser, const Options& options,
                          CommandLine* line)
{
    // A week is far beyond any real pause.
    constexpr qint64 longestMs = 7 * 24 * 3600 * 1000LL;
    for (const auto& [option, ms] : {std::pair{&options.charDelay, &line->pacing.charDelayMs},
                                     {&options.lineDelay, &line->pacing.lineDelayMs}}) {
        if (!parser.isSet(*option))
            continue;
        const QString text = parser.value(*option);
        const std::optional<double> value = parseNumber(text, false);
        if (!value || *value < 0 || *value > longestMs)
            return tr("--%1 must be a whole number of milliseconds from 0 to a week, not "
                      "\"%2\".")
                .arg(option->names().first(), text);
        *ms = qint64(*value);
    }
    if (parser.isSet(options.waitFor)) {
        line->pacing.waitFor = parser.value(options.waitFor).toUtf8();
        if (line->pacing.waitFor.isEmpty())
            return tr("--wait-for needs a text to wait for.");
    }
    if (parser.isSet(options.waitTimeout)) {
        if (!parser.isSet(options.waitFor))
            return tr("--wait-timeout goes with --wait-for.");
        std::optional<qint64> ms;
        const QString error = readSeconds(parser, options.waitTimeout, &ms);
        if (!error.isEmpty())
            return error;
        line->pacing.waitTimeoutMs = *ms;
    }
    return QString();
}

// Devices that come and go.
QString readDeviceWaitOptions(const QCommandLineParser& parser, const Options& options,
                              CommandLine* line)
{
    line->reconnect = parser.isSet(options.reconnect);
    return readSeconds(parser, options.waitForDevice, &line->waitForDeviceMs);
}

QString readReceiveOptions(const QCommandLineParser& parser, const Options& options,
                           CommandLine* line)
{
    if (parser.isSet(options.maxBytes)) {
        const QString text = parser.value(options.maxBytes);
        bool ok = false;
        const qint64 count = text.toLongLong(&ok);
        if (!ok || count <= 0)
            return tr("--max-bytes must be a whole number of bytes above 0, not \"%1\".").arg(text);
        line->maxBytes = count;
    }
    line->force = parser.isSet(options.force);
    QString error = readSeconds(parser, options.idle, &line->idleMs);
    return error.isEmpty() ? readSeconds(parser, options.timeout, &line->timeoutMs) : error;
}

// --protocol and what goes with it, which the raw transfers do not take, nor the other way
// round.
QString readProtocolOptions(const QCommandLineParser& parser, const Options& options,
                            CommandLine* line)
{
    if (parser.isSet(options.protocol)) {
        const QString text = parser.value(options.protocol);
        const std::optional<TransferProtocol> protocol = ModemOptions::fromName(text);
        if (!protocol)
            return tr("--protocol must be one of %1, not \"%2\".")
                .arg(ModemOptions::names().join(QStringLiteral(", ")), text);
        line->protocol = *protocol;
    }
    const QList<const QCommandLineOption*> modemOnly{&options.startTimeout, &options.blockTimeout,
                                                     &options.retries};
    // Pacing, the ends of a raw reception and reconnecting have no meaning inside a protocol's
    // blocks.
    const QList<const QCommandLineOption*> rawOnly{
        &options.idle,      &options.timeout, &options.maxBytes,    &options.charDelay,
        &options.lineDelay, &options.waitFor, &options.waitTimeout, &options.reconnect};
    const bool raw = line->protocol == TransferProtocol::Raw;
    for (const QCommandLineOption* option : raw ? modemOnly : rawOnly) {
        if (parser.isSet(*option))
            return raw ? tr("--%1 belongs to --protocol xmodem, xmodem-1k and ymodem.")
                             .arg(option->names().first())
                       : tr("--%1 belongs to raw transfers, not to --protocol %2.")
                             .arg(option->names().first(), ModemOptions::name(line->protocol));
    }
    if (raw)
        return QString();
    if (line->file == CommandLine::standardStream)
        return tr("--protocol %1 needs a file: standard input and output cannot go by it.")
            .arg(ModemOptions::name(line->protocol));
    line->modem.protocol = line->protocol;
    for (const auto& [option, ms] :
         {std::pair{&options.startTimeout, &line->modem.startTimeoutMs},
          std::pair{&options.blockTimeout, &line->modem.blockTimeoutMs}}) {
        std::optional<qint64> value;
        QString error = readSeconds(parser, *option, &value);
        if (!error.isEmpty())
            return error;
        if (value)
            *ms = int(std::min<qint64>(*value, std::numeric_limits<int>::max()));
    }
    if (parser.isSet(options.retries)) {
        const QString text = parser.value(options.retries);
        bool ok = false;
        const int count = text.toInt(&ok);
        if (!ok || count < 0 || count > 1000)
            return tr("--retries must be a whole number from 0 to 1000, not \"%1\".").arg(text);
        line->modem.retries = count;
    }
    return QString();
}

// The options given that the command does not take.
QString checkBelonging(const QCommandLineParser& parser, const Options& options, Command command)
{
    for (const Options::Belonging& entry : options.belonging) {
        if (parser.isSet(*entry.option) && !entry.commands.contains(command))
            return tr("--%1 belongs to %2.").arg(entry.option->names().first(), tr(entry.where));
    }
    return QString();
}

} // namespace

CommandLine CommandLine::parse(const QStringList& arguments)
{
    CommandLine line;
    line.helpText = tr(generalHelp);
    const Options options;
    QCommandLineParser parser;
    parser.addOptions(options.all());
    const bool parsed = parser.parse(arguments);
    const QStringList words = parser.positionalArguments();

    // The command first, so that an error comes with the help of the command meant.
    const QString commandError = readCommand(words, &line);
    line.error = parsed ? commandError : parser.errorText();
    if (!line.error.isEmpty())
        return line;
    line.helpRequested = parser.isSet(options.help);
    line.versionRequested = parser.isSet(options.version);
    if (line.helpRequested || line.versionRequested)
        return line;
    line.json = parser.isSet(options.json);
    // In this order: --com1 or --com2 alone selects a port only when --port did not.
    const std::function<QString()> steps[] = {
        [&] { return readWords(words, &line); },
        [&] { return checkBelonging(parser, options, line.command); },
        [&] { return readLineOptions(parser, options, &line); },
        [&] { return readDevices(parser, options, &line); },
        [&] { return readReceiveOptions(parser, options, &line); },
        [&] { return readFlowOptions(parser, options, &line); },
        [&] { return readPacingOptions(parser, options, &line); },
        [&] { return readDeviceWaitOptions(parser, options, &line); },
        [&] { return readProtocolOptions(parser, options, &line); },
    };
    for (const auto& step : steps) {
        line.error = step();
        if (!line.error.isEmpty())
            break;
    }
    return line;
}

bool CommandLine::opensWindow(const QStringList& arguments)
{
    const CommandLine line = parse(arguments);
    if (line.command != Command::Window || line.helpRequested || line.versionRequested)
        return false;
    if (line.error.isEmpty())
        return true;
    // An error may only be an option of the window system; the window's own parse, after the
    // window system took its options, tells. Any other error needs no display to be reported.
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (isWindowSystemOption(arguments[i]))
            return true;
    }
    return false;
}

QString CommandLine::versionText()
{
    return QStringLiteral("marlune " MARLUNE_VERSION);
}

QMap<int, QString> CommandLine::devicesForRun(int portInUse) const
{
    QMap<int, QString> result = devices;
    if (!device.isEmpty())
        result.insert(portInUse, device);
    return result;
}
