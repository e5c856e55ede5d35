#include "app/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("CommandLine", text);
}

const QString sendWord = QStringLiteral("send");
const QString receiveWord = QStringLiteral("receive");

QString generalHelp()
{
    return tr("Usage: marlune [--com1 DEVICE] [--com2 DEVICE]\n"
              "       marlune send FILE [options]\n"
              "       marlune receive FILE [options]\n"
              "\n"
              "Sends files to and receives files from a device on a serial line, byte for byte:\n"
              "nothing is added to the bytes on the line. Without a command the window opens.\n"
              "\n"
              "Commands (no window, no display needed):\n"
              "  send FILE        Send the bytes of FILE, then exit.\n"
              "  receive FILE     Store the bytes that arrive in FILE until stopped.\n"
              "  \"marlune send --help\" and \"marlune receive --help\" list their options.\n"
              "\n"
              "Options:\n"
              "  --com1 DEVICE    Use DEVICE as COM1 for this run (for example /dev/ttyUSB0).\n"
              "  --com2 DEVICE    Use DEVICE as COM2 for this run.\n"
              "  -h, --help       Show this help and exit.\n");
}

// The speeds --baud takes, wrapped to fit the help's option column.
QString speedList()
{
    const QString indent(19, QLatin1Char(' '));
    QString text;
    QString line = indent;
    const QList<qint32>& speeds = CommandLine::usualSpeeds();
    for (qsizetype i = 0; i < speeds.size(); ++i) {
        const QString item = QString::number(speeds[i]) +
                             (i + 1 < speeds.size() ? QStringLiteral(",") : QStringLiteral("."));
        if (line.size() + 1 + item.size() > 80 && line.size() > indent.size()) {
            text += line + QLatin1Char('\n');
            line = indent;
        }
        line += (line.size() > indent.size() ? QStringLiteral(" ") : QString()) + item;
    }
    return text + line + QLatin1Char('\n');
}

QString portOptionsHelp()
{
    return tr("  --port 1|2       The port: COM1 or COM2. Default: the port last chosen in the\n"
              "                   window, else 2.\n"
              "  --baud N         The speed in bits per second, with no parity, 8 data bits and\n"
              "                   1 stop bit (N,N,8,1). N is one of\n"
              "%1"
              "                   Default: the speed last chosen in the window, else 9600.\n"
              "  --com1 DEVICE    Use DEVICE as COM1 for this run (for example /dev/ttyUSB0).\n"
              "  --com2 DEVICE    Use DEVICE as COM2 for this run.\n"
              "                   Default: Device1 and Device2 in the stored settings, else the\n"
              "                   platform's first and second serial port.\n"
              "  -h, --help       Show this help and exit.\n")
        .arg(speedList());
}

QString sendHelp()
{
    return tr("Usage: marlune send FILE [--port 1|2] [--baud N] [--com1 DEVICE] [--com2 DEVICE]\n"
              "\n"
              "Sends the bytes of FILE over the serial line exactly as they are, and exits once\n"
              "every byte has left. Progress goes to standard error: a live line on a terminal,\n"
              "otherwise a line every few seconds; at the end a summary with the byte count, the\n"
              "time, the rate and the SHA-256 of what was sent.\n"
              "Ctrl-C, SIGTERM or SIGHUP stops the send at once; what is still queued is thrown\n"
              "away.\n"
              "\n"
              "Options:\n") +
           portOptionsHelp() +
           tr("\n"
              "Exit status:\n"
              "  0  every byte was sent\n"
              "  1  the send failed or was stopped (the port or the file could not be opened or\n"
              "     read, the device went away)\n"
              "  2  the command line was not understood\n");
}

QString receiveHelp()
{
    return tr("Usage: marlune receive FILE [--port 1|2] [--baud N] [--idle SECONDS]\n"
              "                            [--max-bytes N] [--force] [--com1 DEVICE] [--com2 "
              "DEVICE]\n"
              "\n"
              "Stores every byte that arrives on the serial line in FILE, in arrival order, until\n"
              "Ctrl-C (or SIGTERM, SIGHUP), --idle or --max-bytes ends it. Each byte read "
              "reaches\n"
              "the file at once, and the last bytes still waiting in the port are collected\n"
              "before the end. Progress goes to standard error; at the end a summary with the\n"
              "byte count, the time from the first to the last byte, the rate and the SHA-256 of\n"
              "what was stored.\n"
              "\n"
              "Options:\n"
              "  --idle SECONDS   End after SECONDS (may have a fraction) without a byte,\n"
              "                   counted from the first byte. Before the first byte the\n"
              "                   reception waits however long it takes.\n"
              "  --max-bytes N    End once N bytes are stored; the file then holds exactly N.\n"
              "  --force          Overwrite FILE even when it holds data. Without it a file\n"
              "                   that is not empty is refused. Either way FILE is emptied only\n"
              "                   once the port has opened.\n") +
           portOptionsHelp() +
           tr("\n"
              "Exit status:\n"
              "  0  the reception ended by Ctrl-C, SIGTERM, SIGHUP, --idle or --max-bytes\n"
              "  1  the reception failed or was refused: FILE is not empty and --force was not\n"
              "     given, the port or the file could not be opened, a write failed, the device\n"
              "     went away (every byte read before is in FILE)\n"
              "  2  the command line was not understood\n");
}

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

// A whole number, or one with a fraction when `fraction` is set; nothing else.
std::optional<double> parseNumber(const QString& text, bool fraction)
{
    bool ok = false;
    const double value = fraction ? text.toDouble(&ok) : double(text.toLongLong(&ok));
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

const QList<qint32>& CommandLine::usualSpeeds()
{
    static const QList<qint32> speeds{300,   600,   1200,  2400,   4800,   9600,   14400,
                                      19200, 38400, 57600, 115200, 230400, 460800, 921600};
    return speeds;
}

CommandLine CommandLine::parse(const QStringList& arguments)
{
    CommandLine result;
    result.helpText = generalHelp();

    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption com1(QStringLiteral("com1"), QString(), QStringLiteral("DEVICE"));
    const QCommandLineOption com2(QStringLiteral("com2"), QString(), QStringLiteral("DEVICE"));
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("1|2"));
    const QCommandLineOption baud(QStringLiteral("baud"), QString(), QStringLiteral("N"));
    const QCommandLineOption idle(QStringLiteral("idle"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption maxBytes(QStringLiteral("max-bytes"), QString(), QStringLiteral("N"));
    const QCommandLineOption force(QStringLiteral("force"), QString());
    parser.addOptions({help, com1, com2, port, baud, idle, maxBytes, force});

    const bool parsed = parser.parse(arguments);
    const QStringList words = parser.positionalArguments();
    if (!words.isEmpty() && words.first() == sendWord) {
        result.command = Command::Send;
        result.helpText = sendHelp();
    } else if (!words.isEmpty() && words.first() == receiveWord) {
        result.command = Command::Receive;
        result.helpText = receiveHelp();
    }
    const auto fail = [&result](const QString& error) {
        result.error = error;
        return result;
    };
    if (!parsed)
        return fail(parser.errorText());
    if (!words.isEmpty() && result.command == Command::Window)
        return fail(
            tr("Unknown command \"%1\"; the commands are send and receive.").arg(words.first()));
    if (parser.isSet(help)) {
        result.helpRequested = true;
        return result;
    }

    for (const auto& [number, option] : {std::pair{1, &com1}, std::pair{2, &com2}}) {
        if (!parser.isSet(*option))
            continue;
        const QString device = parser.value(*option);
        if (device.isEmpty())
            return fail(tr("--com%1 needs a device.").arg(number));
        result.devices.insert(number, device);
    }

    if (result.command == Command::Window) {
        for (const QCommandLineOption* option : {&port, &baud, &idle, &maxBytes, &force}) {
            if (parser.isSet(*option))
                return fail(tr("--%1 belongs to the send and receive commands.")
                                .arg(option->names().first()));
        }
        return result;
    }

    const QString& commandWord = words.first();
    if (words.size() < 2 || words[1].isEmpty())
        return fail(tr("%1 needs a FILE.").arg(commandWord));
    if (words.size() > 2)
        return fail(tr("Unexpected argument: %1").arg(words[2]));
    result.file = words[1];

    if (result.command == Command::Send) {
        for (const QCommandLineOption* option : {&idle, &maxBytes, &force}) {
            if (parser.isSet(*option))
                return fail(
                    tr("--%1 belongs to the receive command only.").arg(option->names().first()));
        }
    }

    if (parser.isSet(port)) {
        const QString text = parser.value(port);
        if (text != QLatin1String("1") && text != QLatin1String("2"))
            return fail(tr("--port must be 1 or 2, not \"%1\".").arg(text));
        result.port = text.toInt();
    }
    if (parser.isSet(baud)) {
        const QString text = parser.value(baud);
        const std::optional<double> speed = parseNumber(text, false);
        if (!speed || !usualSpeeds().contains(qint32(*speed)))
            return fail(tr("--baud must be one of the usual speeds, not \"%1\"; see "
                           "\"marlune %2 --help\".")
                            .arg(text, commandWord));
        result.baud = qint32(*speed);
    }
    if (parser.isSet(idle)) {
        const QString text = parser.value(idle);
        // A week is far beyond any real pause and keeps the milliseconds well inside range.
        constexpr double longestIdle = 7 * 24 * 3600;
        const std::optional<double> seconds = parseNumber(text, true);
        if (!seconds || *seconds <= 0 || *seconds > longestIdle)
            return fail(
                tr("--idle must be a number of seconds above 0 and at most a week, not \"%1\".")
                    .arg(text));
        result.idleMs = std::max<qint64>(1, std::llround(*seconds * 1000));
    }
    if (parser.isSet(maxBytes)) {
        const QString text = parser.value(maxBytes);
        bool ok = false;
        const qint64 count = text.toLongLong(&ok);
        if (!ok || count <= 0)
            return fail(
                tr("--max-bytes must be a whole number of bytes above 0, not \"%1\".").arg(text));
        result.maxBytes = count;
    }
    result.force = parser.isSet(force);
    return result;
}

bool CommandLine::opensWindow(const QStringList& arguments)
{
    const CommandLine line = parse(arguments);
    if (line.command != Command::Window || line.helpRequested)
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
