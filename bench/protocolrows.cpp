#include "protocolrows.h"

#include "childprocess.h"
#include "farend.h"
#include "linerelay.h"
#include "pattern.h"
#include "report.h"
#include "transfers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int protocolRuns = 3;
constexpr int lineBaud = 115200;
// 115200 baud with a start and a stop bit around each byte.
constexpr std::int64_t pacedBytesPerSecond = 11'520;
// Whole 1 KiB blocks, so that neither side pads and both files can be checked byte for byte.
constexpr std::int64_t unpacedBytes = 1 << 20;
constexpr std::int64_t pacedBytes = 64 << 10;
constexpr double protocolTarget = 1.0;
// How long the sender has, once it holds the line, to be ready for the receiver's call.
constexpr int senderReadyMs = 300;
constexpr int transferLimitMs = 120'000;
// lrzsz's senders sometimes stay once their receiver is done; they are ended then.
constexpr int senderGraceMs = 3'000;

const QString shell = QStringLiteral("/bin/sh");

struct Protocol
{
    const char* name;  // as the program's --protocol takes it
    const char* label; // as the table shows it
    // lrzsz's command lines, in the folder of the file: in its restricted mode, the default, rx
    // takes no path.
    const char* lrzszSend;
    const char* lrzszReceive;
};

constexpr std::array<Protocol, 2> protocols{{
    {"xmodem-1k", "XMODEM-1K", "sx -k sent.bin", "rx -c sent.bin"},
    {"ymodem", "YMODEM", "sb -k sent.bin", "rb"},
}};

struct Case
{
    const Protocol* protocol = nullptr;
    Direction direction = Direction::Send;
    std::int64_t bytesPerSecond = 0;
    std::vector<double> program; // seconds
    std::vector<double> lrzsz;

    std::int64_t bytes() const { return bytesPerSecond ? pacedBytes : unpacedBytes; }
    bool ymodem() const { return QLatin1String(protocol->name) == QLatin1String("ymodem"); }
};

// lrzsz on one end of the line: its standard input and output are the tty, in a session of its
// own (under ours it stops at the end of a transfer and never exits), in `dir`.
bool startLrzsz(ChildProcess& child, const char* command, const QString& tty, const QString& dir,
                const QString& log)
{
    child.setNewSession(true);
    const QString script =
        QStringLiteral("cd \"$2\" && exec %1 <\"$1\" >\"$1\"").arg(QLatin1String(command));
    return child.start(shell, {QStringLiteral("-c"), script, QStringLiteral("sh"), tty, dir}, {},
                       log);
}

bool startProgram(const Setup& setup, ChildProcess& child, const Case& c, const QString& file,
                  const QString& tty, const QString& log)
{
    const bool sending = c.direction == Direction::Send;
    return child.start(setup.marlune,
                       {sending ? QStringLiteral("send") : QStringLiteral("receive"), file,
                        QStringLiteral("--protocol"), QLatin1String(c.protocol->name),
                        QStringLiteral("--device"), tty, QStringLiteral("--baud"),
                        QString::number(lineBaud)},
                       {}, log);
}

// One transfer: seconds from the receiver's first call on the line to its last answer (the file
// is complete then: the receivers close it before they acknowledge the end), with the file it
// kept checked byte for byte once it exited; NaN, and a note why, when it failed.
double runOnce(const Setup& setup, const Case& c, bool program)
{
    const std::int64_t bytes = c.bytes();
    LineRelay line(c.bytesPerSecond);
    if (!line.isValid())
        return NAN;
    const QString in = setup.file("protocol-in");
    const QString out = setup.file("protocol-out");
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    const QString sent = in + QStringLiteral("/sent.bin");
    const QString kept = out + QStringLiteral("/sent.bin");
    const bool ours = program;
    const bool ourSender = ours && c.direction == Direction::Send;
    const bool ourReceiver = ours && c.direction == Direction::Receive;

    ChildProcess sender;
    ChildProcess receiver;
    const QString senderLog = setup.file("sender.log");
    const QString receiverLog = setup.file("receiver.log");
    // The sender first, ready before the receiver calls: a call made before it listens is lost
    // and repeated only seconds later.
    const bool senderStarted =
        ourSender ? startProgram(setup, sender, c, sent, line.endA(), senderLog)
                  : startLrzsz(sender, c.protocol->lrzszSend, line.endA(), in, senderLog);
    if (!senderStarted || !sender.waitForOpen(line.endA(), 30'000))
        return NAN;
    std::this_thread::sleep_for(std::chrono::milliseconds(senderReadyMs));
    const QString target = c.ymodem() ? out : kept;
    const bool receiverStarted =
        ourReceiver ? startProgram(setup, receiver, c, target, line.endB(), receiverLog)
                    : startLrzsz(receiver, c.protocol->lrzszReceive, line.endB(), out, receiverLog);
    if (!receiverStarted)
        return NAN;
    const bool inTime = receiver.waitForExit(transferLimitMs);
    sender.waitForExit(senderGraceMs);
    const bool intact = QFileInfo(kept).size() == bytes && Pattern::fileMatches(kept, bytes);
    const bool ok = inTime && receiver.exitCode() == 0 && intact && line.firstFromBNs() > 0;
    if (!ok) {
        std::fprintf(stderr, "  %s %s (%s): receiver exit %d, %lld of %lld bytes kept%s\n",
                     c.protocol->label, ours ? "program" : "lrzsz",
                     c.direction == Direction::Send ? "send" : "receive", receiver.exitCode(),
                     static_cast<long long>(QFileInfo(kept).size()), static_cast<long long>(bytes),
                     intact ? "" : ", not intact");
        return NAN;
    }
    return (line.lastFromBNs() - line.firstFromBNs()) / 1e9;
}

QString rateText(const std::vector<double>& seconds, std::int64_t bytes)
{
    std::vector<double> rates;
    for (const double s : seconds)
        rates.push_back(bytes / s / 1000.0);
    const double mid = median(rates);
    if (std::isnan(mid))
        return QStringLiteral("failed");
    const auto [low, high] = std::minmax_element(rates.begin(), rates.end());
    return QStringLiteral("%1 kB/s (%2-%3)")
        .arg(QString::number(mid, 'f', 1), QString::number(*low, 'f', 1),
             QString::number(*high, 'f', 1));
}

Row row(const Case& c)
{
    const double ratio = median(c.lrzsz) / median(c.program);
    const bool sending = c.direction == Direction::Send;
    Row r;
    r.measure = QStringLiteral("%1, command line %2")
                    .arg(QLatin1String(c.protocol->label),
                         sending ? QStringLiteral("send") : QStringLiteral("receive"));
    const auto program = [](const char* command) {
        return QString::fromLatin1(command).section(QLatin1Char(' '), 0, 0);
    };
    const QString peer = program(sending ? c.protocol->lrzszReceive : c.protocol->lrzszSend);
    const QString against = program(sending ? c.protocol->lrzszSend : c.protocol->lrzszReceive);
    r.settings = QStringLiteral("%1, %2 KiB, %3 runs, far end %4; baseline %5")
                     .arg(c.bytesPerSecond ? QStringLiteral("paced to %1 baud").arg(lineBaud)
                                           : QStringLiteral("unpaced"))
                     .arg(c.bytes() >> 10)
                     .arg(c.program.size())
                     .arg(peer, against);
    r.figure = rateText(c.program, c.bytes());
    r.baseline = rateText(c.lrzsz, c.bytes());
    r.ratio = std::isnan(ratio) ? QStringLiteral("failed") : QString::number(ratio, 'f', 2);
    r.target = QStringLiteral(">= %1").arg(protocolTarget, 0, 'f', 2);
    // On a paced line both senders wait for the same answers and the line's pace sets the time:
    // a tie within the relay's millisecond steps prints as 1.00 and counts as one.
    const double printed = r.ratio.toDouble();
    r.result = std::isnan(ratio)           ? Row::Result::Failed
               : printed >= protocolTarget ? Row::Result::Pass
                                           : Row::Result::Miss;
    const auto seconds = [](const std::vector<double>& runs) {
        QJsonArray array;
        for (const double s : runs)
            array.append(std::isnan(s) ? QJsonValue() : QJsonValue(s));
        return array;
    };
    r.data = QJsonObject{{QStringLiteral("bytes"), double(c.bytes())},
                         {QStringLiteral("programSeconds"), seconds(c.program)},
                         {QStringLiteral("lrzszSeconds"), seconds(c.lrzsz)}};
    return r;
}

} // namespace

const char* protocolMethod()
{
    return "two raw pseudo-terminals joined by a relay thread of the bench, each way unpaced or "
           "paced to 11,520 B/s in 1 ms steps; the sender starts first and holds its end "
           "300 ms before the receiver starts; time runs from the receiver's first byte on the "
           "line (its call, NAK or 'C') to its last (the ACK of the end: the file is then "
           "complete), and the file it kept is checked byte for byte once it exited; the "
           "program's runs and lrzsz's alternate; kB/s = 1000 bytes/s of the file; ratio = "
           "lrzsz's median time / the program's, judged as printed, to two decimals";
}

void measureProtocols(const Setup& setup, Report* report)
{
    std::fprintf(stderr, "Protocols against lrzsz, %d runs each, lrzsz then the program:\n",
                 protocolRuns);
    std::vector<Case> cases;
    for (const std::int64_t pace : {std::int64_t(0), pacedBytesPerSecond}) {
        for (const Protocol& p : protocols) {
            for (const Direction d : {Direction::Send, Direction::Receive})
                cases.push_back({&p, d, pace, {}, {}});
        }
    }
    const QString in = setup.file("protocol-in");
    QDir().mkpath(in);
    Pattern::writeFile(setup.file("protocol-full.bin"), unpacedBytes);
    Pattern::writeFile(setup.file("protocol-paced.bin"), pacedBytes);
    for (int run = 1; run <= protocolRuns; ++run) {
        for (Case& c : cases) {
            // The paced cases send the small file under the same name.
            const QString sent = in + QStringLiteral("/sent.bin");
            QFile::remove(sent);
            QFile::copy(setup.file(c.bytesPerSecond ? "protocol-paced.bin" : "protocol-full.bin"),
                        sent);
            c.lrzsz.push_back(runOnce(setup, c, false));
            c.program.push_back(runOnce(setup, c, true));
            std::fprintf(stderr, "  run %d, %s %s, %s: lrzsz %.2f s, program %.2f s\n", run,
                         c.protocol->label, c.direction == Direction::Send ? "send" : "receive",
                         c.bytesPerSecond ? "paced" : "unpaced", c.lrzsz.back(), c.program.back());
        }
    }
    for (const Case& c : cases)
        report->add(row(c));
    QDir(in).removeRecursively();
    QDir(setup.file("protocol-out")).removeRecursively();
    QFile::remove(setup.file("protocol-paced.bin"));
    QFile::remove(setup.file("protocol-full.bin"));
}
