// Measures the program against the limit the kernel itself sets: the same transfers as plain
// 64 KiB read/write loops on the same kind of raw pseudo-terminal, alternating with the program
// in one invocation, at several nominal speeds. Then CPU on a paced line, peak memory and
// start-up. Prints one Markdown table, ready for the README, and writes the same as
// results.json next to this executable. Exit status 0 when every target is met.
//
//   marlune_bench                        the whole benchmark
//   marlune_bench --only PART            one part: throughput, cpu, memory, startup or
//                                        protocols
//   marlune_bench --window send|receive DEVICE FILE BAUD BYTES
//                                        one transfer through the window, in a process of its
//                                        own, for a parent that measures it (CPU, memory)

#include "childprocess.h"
#include "cpuplacement.h"
#include "farend.h"
#include "isolatedsettings.h"
#include "pattern.h"
#include "protocolrows.h"
#include "report.h"
#include "transfers.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

namespace {

constexpr std::int64_t mib = 1 << 20;

constexpr std::int64_t throughputBytes = 128 * mib;
constexpr int throughputRuns = 3;
constexpr std::array<int, 3> nominalSpeeds{1200, 9600, 115200};
// A run still going after this is stopped and counts what had arrived. The kernel path moves
// 128 MiB in a second or three, so a run this long is far off the target either way; stopping
// it keeps the whole benchmark to a few minutes.
constexpr int runLimitMs = 10'000;
constexpr double ratioTarget = 0.9;
// The command line's receive against the system's tools giving the same verified copy.
constexpr double verifiedRatioTarget = 1.0;

// 115200 baud with a start and a stop bit around each byte.
constexpr std::int64_t pacedBytesPerSecond = 11'520;
constexpr int pacedBaud = 115200;
// CPU is counted over `pacedMeasureSeconds` once `pacedSettleSeconds` have passed since the
// program started, so that start-up (measured on its own) does not count.
constexpr int pacedSettleSeconds = 2;
constexpr int pacedMeasureSeconds = 10;
// A send's CPU, as a share of a core.
constexpr double cpuTargetPercent = 1.5;
// A reception's CPU against the least a Qt program waking for the same arrivals costs, and the
// window's against the command line's.
constexpr double cpuRatioTarget = 1.25;

constexpr std::int64_t memorySmall = mib;
constexpr std::int64_t memoryLarge = 1024 * mib;
constexpr int memoryBaud = 115200;
// How long a memory run's line stays still while the program starts, so that the small run's
// peak is not caught half loaded.
constexpr int memoryHoldOffMs = 500;
constexpr double memoryTargetMiB = 16;

constexpr int startupRuns = 10;
constexpr double startupTargetMs = 300;

constexpr int latenessTickMs = 10;
constexpr double latenessP99Target = 20;
constexpr double latenessMaxTarget = 100;

// How long a child run may take in all before it counts as hung.
constexpr int childLimitMs = 300'000;

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * values.size()));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

QString number(double value, int decimals)
{
    if (std::isnan(value))
        return QStringLiteral("failed");
    // No "-0.0" for a change too small to show.
    if (std::abs(value) < 0.5 * std::pow(10.0, -decimals))
        value = 0;
    return QString::number(value, 'f', decimals);
}

QString thousands(std::int64_t value)
{
    QString digits = QString::number(value);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}

Row::Result judge(double value, bool met)
{
    if (std::isnan(value))
        return Row::Result::Failed;
    return met ? Row::Result::Pass : Row::Result::Miss;
}

void note(const QString& text)
{
    std::fprintf(stderr, "  %s\n", qPrintable(text));
}

void sleepUntil(std::int64_t ns)
{
    const std::int64_t left = ns - monotonicNs();
    if (left > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

QString moverName(Mover mover)
{
    switch (mover) {
    case Mover::KernelProcess:
        return QStringLiteral("dd");
    case Mover::KernelVerified:
        return QStringLiteral("dd then sha256sum");
    case Mover::Window:
        return QStringLiteral("window");
    case Mover::CommandLine:
        break;
    }
    return QStringLiteral("command line");
}

QString directionName(Direction direction)
{
    return direction == Direction::Send ? QStringLiteral("send") : QStringLiteral("receive");
}

constexpr std::array<std::pair<Mover, Direction>, 4> programs{{
    {Mover::Window, Direction::Send},
    {Mover::Window, Direction::Receive},
    {Mover::CommandLine, Direction::Send},
    {Mover::CommandLine, Direction::Receive},
}};

// --- Throughput --------------------------------------------------------------------------------

// One row: a program at a speed, each run next to the baseline's run just before it.
struct ThroughputCase
{
    Mover mover = Mover::Window;
    Direction direction = Direction::Send;
    int baud = 0;
    std::vector<Transfer> baseline;
    std::vector<Transfer> program;
};

// What the program is held against: the system's tools giving the same result, each in a
// process of its own, as the program runs. A reception, by the window or the command line,
// gives a verified copy (the file and its SHA-256), so its baseline checks the file after
// copying it.
Mover baselineOf(const ThroughputCase& c)
{
    return c.direction == Direction::Receive ? Mover::KernelVerified : Mover::KernelProcess;
}

QString baselineMethod(Mover baseline)
{
    return baseline == Mover::KernelVerified
               ? QStringLiteral("`dd bs=64K` then `sha256sum`, own processes")
               : QStringLiteral("`dd bs=64K`, own process");
}

double targetRatio(const ThroughputCase& c)
{
    // The command line's receive is to keep up with the tools it stands in for; the window keeps
    // the target of every other row.
    return c.mover == Mover::CommandLine && c.direction == Direction::Receive ? verifiedRatioTarget
                                                                              : ratioTarget;
}

QJsonArray runsJson(const std::vector<Transfer>& runs)
{
    QJsonArray array;
    for (const Transfer& t : runs) {
        array.append(QJsonObject{
            {QStringLiteral("bytes"), double(t.bytes)},
            {QStringLiteral("ns"), double(t.ns)},
            {QStringLiteral("MBps"), std::isnan(t.megabytesPerSecond())
                                         ? QJsonValue()
                                         : QJsonValue(t.megabytesPerSecond())},
            {QStringLiteral("cut"), t.cut},
            {QStringLiteral("failure"), t.failure},
            {QStringLiteral("firstStepNs"), double(t.firstStepNs)},
        });
    }
    return array;
}

// "12.3 MB/s (10.1-14.0)": the median and the range of the runs.
QString rateWithRange(const std::vector<double>& rates)
{
    const double mid = median(rates);
    if (std::isnan(mid))
        return QStringLiteral("failed");
    const auto [low, high] = std::minmax_element(rates.begin(), rates.end());
    return QStringLiteral("%1 MB/s (%2-%3)").arg(number(mid, 1), number(*low, 1), number(*high, 1));
}

// The row of `c`; `againstFirstStep` holds it against the first step of its baseline alone,
// for information.
Row throughputRow(const ThroughputCase& c, bool againstFirstStep = false)
{
    std::vector<double> program;
    std::vector<double> baseline;
    int cut = 0;
    for (std::size_t i = 0; i < c.program.size(); ++i) {
        program.push_back(c.program[i].megabytesPerSecond());
        baseline.push_back(againstFirstStep ? c.baseline[i].firstStepMegabytesPerSecond()
                                            : c.baseline[i].megabytesPerSecond());
        cut += c.program[i].cut ? 1 : 0;
    }
    // The runs alternate, so both medians come from the same stretch of the machine's time.
    const double ratio = median(program) / median(baseline);
    Row row;
    row.measure =
        QStringLiteral("throughput, %1 %2").arg(moverName(c.mover), directionName(c.direction));
    row.settings = QStringLiteral("%1 baud, %2 MiB, %3 runs")
                       .arg(c.baud)
                       .arg(throughputBytes / mib)
                       .arg(c.program.size());
    row.figure = rateWithRange(program);
    if (cut > 0)
        row.figure += QStringLiteral(", %1 of %2 runs stopped at %3 s")
                          .arg(cut)
                          .arg(c.program.size())
                          .arg(runLimitMs / 1000);
    const Mover method = againstFirstStep ? Mover::KernelProcess : baselineOf(c);
    row.baseline = QStringLiteral("%1: %2").arg(baselineMethod(method), rateWithRange(baseline));
    row.ratio = number(ratio, 2);
    if (againstFirstStep) {
        row.measure += QStringLiteral(", against `dd` alone");
        row.result = std::isnan(ratio) ? Row::Result::Failed : Row::Result::Info;
    } else {
        const double target = targetRatio(c);
        row.target = QStringLiteral(">= %1").arg(target);
        row.result = judge(ratio, ratio >= target);
    }
    row.data = QJsonObject{
        {QStringLiteral("baud"), c.baud},
        {QStringLiteral("programRuns"), runsJson(c.program)},
        {QStringLiteral("baselineRuns"), runsJson(c.baseline)},
    };
    return row;
}

QString describeRun(const Transfer& t)
{
    if (!t.failure.isEmpty())
        return QStringLiteral("FAILED (%1)").arg(t.failure);
    QString text = QStringLiteral("%1 MB/s").arg(number(t.megabytesPerSecond(), 1));
    if (t.cut)
        text += QStringLiteral(" (stopped after %1 MiB)").arg(number(t.bytes / double(mib), 1));
    return text;
}

void measureThroughput(const Setup& setup, Report* report)
{
    std::fprintf(stderr, "Throughput, %lld MiB a run, %d runs, baseline then program:\n",
                 static_cast<long long>(throughputBytes / mib), throughputRuns);
    Pattern::writeFile(setup.file("send.bin"), throughputBytes);
    std::vector<ThroughputCase> cases;
    for (const int baud : nominalSpeeds) {
        for (const auto& [mover, direction] : programs)
            cases.push_back({mover, direction, baud, {}, {}});
    }
    std::vector<double> lateness;
    CpuPlacement::setPinned(true);
    // Run by run over all rows, so that a slow spell of the machine spreads over them all.
    for (int run = 1; run <= throughputRuns; ++run) {
        for (ThroughputCase& c : cases) {
            const bool watchTimer = c.mover == Mover::Window && c.direction == Direction::Receive;
            c.baseline.push_back(runTransfer(setup, baselineOf(c), c.direction, c.baud,
                                             throughputBytes, runLimitMs));
            c.program.push_back(runTransfer(setup, c.mover, c.direction, c.baud, throughputBytes,
                                            runLimitMs, watchTimer ? &lateness : nullptr));
            note(QStringLiteral("run %1, %2 baud, %3 %4: %5 %6, program %7")
                     .arg(run)
                     .arg(c.baud)
                     .arg(moverName(c.mover), directionName(c.direction), moverName(baselineOf(c)),
                          describeRun(c.baseline.back()), describeRun(c.program.back())));
        }
    }
    CpuPlacement::setPinned(false);
    QFile::remove(setup.file("send.bin"));
    for (const ThroughputCase& c : cases) {
        report->add(throughputRow(c));
        if (baselineOf(c) == Mover::KernelVerified)
            report->add(throughputRow(c, true));
    }

    const double p99 = percentile(lateness, 99);
    const double worst =
        lateness.empty() ? NAN : *std::max_element(lateness.begin(), lateness.end());
    const QString settings =
        QStringLiteral("%1 ms timer, during the window receive runs above (%2 ticks)")
            .arg(latenessTickMs)
            .arg(lateness.size());
    const QJsonObject data{{QStringLiteral("ticks"), double(lateness.size())}};
    report->add({QStringLiteral("timer lateness, p99"), settings,
                 QStringLiteral("%1 ms").arg(number(p99, 1)), QString(), QString(),
                 QStringLiteral("<= %1 ms").arg(latenessP99Target),
                 judge(p99, p99 <= latenessP99Target), data});
    report->add({QStringLiteral("timer lateness, max"), settings,
                 QStringLiteral("%1 ms").arg(number(worst, 1)), QString(), QString(),
                 QStringLiteral("<= %1 ms").arg(latenessMaxTarget),
                 judge(worst, worst <= latenessMaxTarget), data});
}

// --- A program in a process of its own, measured from outside -----------------------------------

QString programPath(const Setup& setup, Mover mover)
{
    return mover == Mover::Window ? setup.self : setup.marlune;
}

QStringList programArguments(Mover mover, Direction direction, const QString& device,
                             const QString& file, int baud, std::int64_t bytes)
{
    return mover == Mover::Window ? windowProcessArguments(direction, device, file, baud, bytes)
                                  : commandLineArguments(direction, device, file, baud, bytes);
}

// Waits for the child to end and checks what it moved; empty when all went well. A child that
// keeps nothing (`file` empty) has had all when the far end sent all.
QString finishChild(const Setup& setup, ChildProcess& child, FarEnd& far, Direction direction,
                    const QString& file, std::int64_t bytes)
{
    const bool exited = child.waitForExit(childLimitMs);
    const bool intact = direction == Direction::Send || file.isEmpty()
                            ? far.wait(10'000)
                            : Pattern::fileMatches(file, bytes);
    far.abort();
    if (direction == Direction::Receive && !file.isEmpty())
        QFile::remove(file);
    if (exited && child.exitCode() == 0 && intact)
        return {};
    return QStringLiteral("exit code %1, %2 of %3 bytes moved, %4: %5")
        .arg(child.exitCode())
        .arg(far.moved())
        .arg(bytes)
        .arg(intact ? QStringLiteral("intact") : QStringLiteral("NOT intact"), setup.logTail());
}

// --- CPU on a paced line -------------------------------------------------------------------------

// What runs on the paced line, in a process of its own: one of the programs, or a floor that
// only wakes for each arrival and reads it (marlune_floor).
struct PacedProgram
{
    QString name;
    Direction direction = Direction::Receive;
    QString path;
    std::function<QStringList(const QString& device, const QString& file, std::int64_t bytes)>
        arguments;
    QStringList environment;
    bool keepsFile = true;
};

PacedProgram pacedProgram(const Setup& setup, Mover mover, Direction direction)
{
    return {QStringLiteral("%1 %2").arg(moverName(mover), directionName(direction)),
            direction,
            programPath(setup, mover),
            [=](const QString& device, const QString& file, std::int64_t bytes) {
                return programArguments(mover, direction, device, file, pacedBaud, bytes);
            },
            {},
            true};
}

// `mode` "qt": QCoreApplication and a QSocketNotifier, on Qt's own event dispatcher as the
// program runs on; "c": a poll/read loop.
PacedProgram floorProgram(const Setup& setup, const char* mode)
{
    const QString kind = QLatin1String(mode);
    return {kind == QLatin1String("qt") ? QStringLiteral("minimal Qt program")
                                        : QStringLiteral("plain C poll/read loop"),
            Direction::Receive,
            setup.floor,
            [=](const QString& device, const QString&, std::int64_t bytes) {
                return QStringList{kind, device, QString::number(bytes)};
            },
            {QStringLiteral("QT_NO_GLIB=1")},
            false};
}

// Runs `programs` side by side, each on a line of its own paced alike, and returns the percent
// of a core each used over the same stretch of time (NaN for one that failed). Side by side,
// they share whatever else the machine does: their ratios hold on a busy machine, where
// figures taken one after the other would each meet a different load.
std::vector<double> pacedCpuPercents(const Setup& setup, const std::vector<PacedProgram>& programs)
{
    const int pacedSeconds = pacedSettleSeconds + pacedMeasureSeconds;
    struct Run
    {
        FarEnd far;
        ChildProcess child;
        QString file;
        std::int64_t bytes = 0;
        bool started = false;
    };
    std::vector<std::unique_ptr<Run>> runs;
    for (std::size_t i = 0; i < programs.size(); ++i) {
        const PacedProgram& program = programs[i];
        const bool sending = program.direction == Direction::Send;
        auto run = std::make_unique<Run>();
        // A send has more than the paced time takes, so the line never runs dry early; a
        // receive gets whole blocks, a second's worth more. The rest follows unpaced.
        run->bytes = sending ? pacedSeconds * pacedBytesPerSecond + 128 * 1024
                             : (pacedSeconds + 1) * pacedBytesPerSecond / 512 * 512;
        if (program.keepsFile)
            run->file = setup.dir + QStringLiteral("/paced-%1.bin").arg(i);
        if (!run->far.isValid()) {
            note(QStringLiteral("%1: cannot make a pseudo-terminal").arg(program.name));
        } else {
            if (sending) {
                Pattern::writeFile(run->file, run->bytes);
                run->far.startReceiving(run->bytes, pacedBytesPerSecond);
            }
            run->started = run->child.start(
                program.path, program.arguments(run->far.devicePath(), run->file, run->bytes),
                program.environment, setup.log);
        }
        runs.push_back(std::move(run));
    }
    // A device sends once it is listened to.
    std::int64_t lastStart = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        Run& run = *runs[i];
        if (!run.started)
            continue;
        lastStart = std::max(lastStart, run.child.startedNs());
        if (programs[i].direction == Direction::Receive &&
            run.child.waitForOpen(run.far.devicePath(), 30'000))
            run.far.startSending(run.bytes, pacedBytesPerSecond);
    }
    sleepUntil(lastStart + pacedSettleSeconds * 1'000'000'000LL);
    std::vector<std::int64_t> cpuFrom;
    for (const auto& run : runs)
        cpuFrom.push_back(run->started ? run->child.cpuNs() : 0);
    const std::int64_t at = monotonicNs();
    sleepUntil(at + pacedMeasureSeconds * 1'000'000'000LL);
    std::vector<std::int64_t> cpuTo;
    std::vector<bool> paced;
    for (const auto& run : runs) {
        cpuTo.push_back(run->started ? run->child.cpuNs() : 0);
        paced.push_back(run->started && !run->child.hasEnded());
    }
    const std::int64_t until = monotonicNs();
    for (const auto& run : runs)
        run->far.unpace();

    std::vector<double> percents;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        Run& run = *runs[i];
        const PacedProgram& program = programs[i];
        QString failure = QStringLiteral("it did not start");
        if (run.started) {
            failure =
                finishChild(setup, run.child, run.far, program.direction, run.file, run.bytes);
            if (failure.isEmpty() && !paced[i])
                failure = QStringLiteral("it ended while the line was paced");
        }
        if (program.direction == Direction::Send)
            QFile::remove(run.file);
        if (!failure.isEmpty()) {
            note(QStringLiteral("%1 failed: %2").arg(program.name, failure));
            percents.push_back(NAN);
            continue;
        }
        percents.push_back(100.0 * double(cpuTo[i] - cpuFrom[i]) / double(until - at));
        note(QStringLiteral("%1: %2% of a core").arg(program.name, number(percents.back(), 2)));
    }
    return percents;
}

QJsonValue jsonNumber(double value)
{
    return std::isnan(value) ? QJsonValue() : QJsonValue(value);
}

QString percentText(double percent)
{
    return QStringLiteral("%1 % of a core").arg(number(percent, 2));
}

void measureCpu(const Setup& setup, Report* report)
{
    std::fprintf(stderr, "CPU on a line paced at %lld bytes/s, %d s measured after %d s:\n",
                 static_cast<long long>(pacedBytesPerSecond), pacedMeasureSeconds,
                 pacedSettleSeconds);
    const QString settings = QStringLiteral("%1 baud, far end paced to %2 B/s, %3 s after the "
                                            "first %4 s")
                                 .arg(pacedBaud)
                                 .arg(thousands(pacedBytesPerSecond))
                                 .arg(pacedMeasureSeconds)
                                 .arg(pacedSettleSeconds);
    // The floors and the receptions side by side; the sends after them, on their own.
    const std::vector<double> receptions =
        pacedCpuPercents(setup, {floorProgram(setup, "qt"), floorProgram(setup, "c"),
                                 pacedProgram(setup, Mover::CommandLine, Direction::Receive),
                                 pacedProgram(setup, Mover::Window, Direction::Receive)});
    const double qtFloor = receptions[0];
    const double cFloor = receptions[1];
    const double commandLine = receptions[2];
    const double window = receptions[3];

    const QString qtFloorText =
        QStringLiteral("minimal Qt program (QCoreApplication, QSocketNotifier, read into a "
                       "buffer, Qt's own dispatcher), own process: %1")
            .arg(percentText(qtFloor));
    const auto relative = [&](const QString& measure, double percent, double base,
                              const QString& baseText) {
        const double ratio = percent / base;
        report->add({measure, settings, percentText(percent), baseText, number(ratio, 2),
                     QStringLiteral("<= %1").arg(cpuRatioTarget),
                     judge(ratio, ratio <= cpuRatioTarget),
                     QJsonObject{{QStringLiteral("percent"), jsonNumber(percent)},
                                 {QStringLiteral("baselinePercent"), jsonNumber(base)}}});
    };
    relative(QStringLiteral("CPU, command line receive"), commandLine, qtFloor, qtFloorText);
    relative(QStringLiteral("CPU, window receive"), window, qtFloor, qtFloorText);
    relative(QStringLiteral("CPU, window receive against the command line"), window, commandLine,
             QStringLiteral("command line receive, own process: %1").arg(percentText(commandLine)));
    report->add({QStringLiteral("CPU, plain C poll/read loop"), settings, percentText(cFloor),
                 QString(), QString(), QString(),
                 std::isnan(cFloor) ? Row::Result::Failed : Row::Result::Info,
                 QJsonObject{{QStringLiteral("percent"), jsonNumber(cFloor)}}});

    const std::vector<double> sends =
        pacedCpuPercents(setup, {pacedProgram(setup, Mover::Window, Direction::Send),
                                 pacedProgram(setup, Mover::CommandLine, Direction::Send)});
    for (std::size_t i = 0; i < sends.size(); ++i) {
        const double percent = sends[i];
        report->add({QStringLiteral("CPU, %1 send")
                         .arg(moverName(i == 0 ? Mover::Window : Mover::CommandLine)),
                     settings, percentText(percent), QString(), QString(),
                     QStringLiteral("<= %1 %").arg(cpuTargetPercent),
                     judge(percent, percent <= cpuTargetPercent),
                     QJsonObject{{QStringLiteral("percent"), jsonNumber(percent)}}});
    }
}

// --- Peak memory ---------------------------------------------------------------------------------

// The program's peak resident memory over one transfer, in KiB; -1 on failure.
std::int64_t peakKiB(const Setup& setup, Mover mover, Direction direction, std::int64_t bytes)
{
    const bool sending = direction == Direction::Send;
    const QString file = sending ? setup.file(bytes == memorySmall ? "small.bin" : "large.bin")
                                 : setup.file("received.bin");
    FarEnd far;
    if (!far.isValid()) {
        note(QStringLiteral("cannot make a pseudo-terminal"));
        return -1;
    }
    ChildProcess child;
    if (!child.start(programPath(setup, mover),
                     programArguments(mover, direction, far.devicePath(), file, memoryBaud, bytes),
                     {}, setup.log))
        return -1;
    // The line stays still until the program has started up and been seen doing so.
    if (!sending)
        child.waitForOpen(far.devicePath(), 30'000);
    sleepUntil(child.startedNs() + std::int64_t(memoryHoldOffMs) * 1'000'000);
    child.sampleMemory();
    if (sending)
        far.startReceiving(bytes);
    else
        far.startSending(bytes);
    const QString failure = finishChild(setup, child, far, direction, file, bytes);
    if (!failure.isEmpty()) {
        note(QStringLiteral("%1 %2 of %3 bytes failed: %4")
                 .arg(moverName(mover), directionName(direction))
                 .arg(bytes)
                 .arg(failure));
        return -1;
    }
    return child.peakRssKiB();
}

void measureMemory(const Setup& setup, Report* report)
{
    std::fprintf(stderr, "Peak memory, %lld MiB transfer against %lld MiB:\n",
                 static_cast<long long>(memoryLarge / mib),
                 static_cast<long long>(memorySmall / mib));
    Pattern::writeFile(setup.file("small.bin"), memorySmall);
    Pattern::writeFile(setup.file("large.bin"), memoryLarge);
    for (const auto& [mover, direction] : programs) {
        const std::int64_t small = peakKiB(setup, mover, direction, memorySmall);
        const std::int64_t large = small < 0 ? -1 : peakKiB(setup, mover, direction, memoryLarge);
        const double growth = large < 0 ? NAN : (large - small) / 1024.0;
        note(QStringLiteral("%1 %2: %3 KiB, then %4 KiB")
                 .arg(moverName(mover), directionName(direction))
                 .arg(small)
                 .arg(large));
        report->add({QStringLiteral("peak memory growth, %1 %2")
                         .arg(moverName(mover), directionName(direction)),
                     QStringLiteral("%1 MiB against %2 MiB, %3 baud, unpaced")
                         .arg(memoryLarge / mib)
                         .arg(memorySmall / mib)
                         .arg(memoryBaud),
                     std::isnan(growth) ? QStringLiteral("failed")
                                        : QStringLiteral("%1 MiB (%2 -> %3 MiB)")
                                              .arg(number(growth, 1), number(small / 1024.0, 1),
                                                   number(large / 1024.0, 1)),
                     QString(), QString(), QStringLiteral("<= %1 MiB").arg(memoryTargetMiB),
                     judge(growth, growth <= memoryTargetMiB),
                     QJsonObject{{QStringLiteral("smallPeakKiB"), double(small)},
                                 {QStringLiteral("largePeakKiB"), double(large)}}});
    }
    QFile::remove(setup.file("small.bin"));
    QFile::remove(setup.file("large.bin"));
}

// --- Start-up ------------------------------------------------------------------------------------

void measureStartup(const Setup& setup, Report* report)
{
    std::fprintf(stderr, "Start-up to the window shown, %d runs:\n", startupRuns);
    std::vector<double> times;
    for (int i = 0; i < startupRuns; ++i) {
        ChildProcess child;
        if (!child.start(setup.marlune, {}, {QStringLiteral("MARLUNE_EXIT_WHEN_SHOWN=1")}, {}))
            break;
        const QString line = child.readLine(30'000);
        const std::int64_t shownNs = monotonicNs();
        child.waitForExit(10'000);
        if (!line.startsWith(QLatin1String("shown"))) {
            note(QStringLiteral("no \"shown\" line from the program (got \"%1\")").arg(line));
            break;
        }
        times.push_back((shownNs - child.startedNs()) / 1e6);
    }
    const double ms = int(times.size()) == startupRuns ? median(times) : NAN;
    note(QStringLiteral("median %1 ms").arg(number(ms, 1)));
    QJsonArray runs;
    for (const double t : times)
        runs.append(t);
    report->add({QStringLiteral("start-up to the window shown"),
                 QStringLiteral("MARLUNE_EXIT_WHEN_SHOWN=1 marlune, median of %1").arg(startupRuns),
                 QStringLiteral("%1 ms").arg(number(ms, 0)), QString(), QString(),
                 QStringLiteral("<= %1 ms").arg(startupTargetMs), judge(ms, ms <= startupTargetMs),
                 QJsonObject{{QStringLiteral("runsMs"), runs}}});
}

void describeMethod(Report* report, const Machine& machine, const QString& loadAtEnd,
                    double minutes)
{
    report->setMachine(machine);
    report->addHeader(QStringLiteral("Machine"), machine.describe());
    report->addHeader(
        QStringLiteral("Date"),
        QStringLiteral("%1, run time %2 minutes, 1-minute load average %3 at the start, %4 at "
                       "the end")
            .arg(machine.date, number(minutes, 1), machine.load, loadAtEnd));
    report->addHeader(
        QStringLiteral("Far end"),
        QStringLiteral("compiled pty thread on the master side of a raw pseudo-terminal (the "
                       "program opens the slave as its port); unpaced for throughput and memory, "
                       "paced %1 B/s in 1 ms steps for CPU; a far end of the same kind, a line of "
                       "its own each time, serves the program and the baseline; for "
                       "throughput, %2")
            .arg(thousands(pacedBytesPerSecond), QLatin1String(CpuPlacement::describe())));
    report->addHeader(
        QStringLiteral("Baseline"),
        QStringLiteral(
            "what a user does for the same result with the system's tools, each in a process "
            "of its own, on the slave set raw at the row's speed (as stty leaves it), timed as "
            "the program is, from its start to its end: for throughput, `dd bs=64K` (blocking "
            "64 KiB read/write loops, the kernel path, what cat or head -c do too), and for a "
            "receive (the window's or the command line's), which gives the file and its "
            "SHA-256, `dd bs=64K` into the "
            "file then `sha256sum` of it, timed from the start of the first to the end of the "
            "second (against `dd` alone as information); for a reception's CPU, a minimal Qt "
            "program on Qt's own event dispatcher (marlune_floor qt: QCoreApplication and a "
            "QSocketNotifier on the same kind of line, reading each arrival into a buffer), "
            "and for the window's, the command line's too; a plain C poll/read loop "
            "(marlune_floor c) as information"));
    report->addHeader(
        QStringLiteral("Throughput"),
        QStringLiteral(
            "%1 MiB a run, every byte checked against the pattern; baseline and program runs "
            "alternate, %2 of each; figures are medians (range of the runs in brackets), ratio "
            "= program median / baseline median; MB/s = 10^6 bytes/s from the start (command "
            "started, button clicked, port opened) to the far end taking the last byte (send) "
            "or the file closed (receive); a run still going after %3 s is stopped with the "
            "program's own stop (button, SIGTERM) and counts the bytes that arrived intact")
            .arg(throughputBytes / mib)
            .arg(throughputRuns)
            .arg(runLimitMs / 1000));
    report->addHeader(
        QStringLiteral("CPU"),
        QStringLiteral(
            "user + system time of the program's own process, from /proc/PID/stat in "
            "%1 ms ticks; the window runs in a process of its own for this (marlune_bench "
            "--window: the same window, driven by its buttons); the receptions and the "
            "programs they are held against run side by side, each on a paced line of its "
            "own, and are counted over the same stretch of time, then the sends side by side")
            .arg(ChildProcess::cpuTickNs() / 1'000'000));
    report->addHeader(QStringLiteral("Protocols"), QLatin1String(protocolMethod()));
    report->addHeader(
        QStringLiteral("Memory"),
        QStringLiteral("peak resident set (VmHWM) of the program's own process (the "
                       "window's as for CPU) in the large transfer, minus that in the "
                       "small one"));
}

// Qt's offscreen platform and font lookup say these on every window; they mean nothing here and
// would bury the progress lines.
void quietKnownNoise(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QString text = message.trimmed();
    if (text.startsWith(QLatin1String("OpenType support missing")) ||
        text.startsWith(QLatin1String("This plugin does not support propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char* argv[])
{
    // Every window, here and in the processes started, is offscreen. Settings are in a folder
    // of this process's own since before main (isolatedsettings.h); the programs started
    // inherit it, and a --window process makes its own.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The event dispatcher the program's window runs on (src/app/main.cpp).
    ::setenv("QT_NO_GLIB", "1", 1);
    QTemporaryDir dir;
    qInstallMessageHandler(quietKnownNoise);
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (!args.isEmpty() && args[0] == QLatin1String("--window"))
        return runWindowProcess(args.mid(1));

    const std::int64_t begun = monotonicNs();
    const Machine machine = Machine::thisOne();
    Setup setup;
    setup.dir = dir.path();
    setup.self = QCoreApplication::applicationFilePath();
    setup.marlune = QStringLiteral(MARLUNE_EXECUTABLE);
    setup.floor = QStringLiteral(MARLUNE_FLOOR_EXECUTABLE);
    setup.log = setup.file("children.log");
    const qsizetype onlyAt = args.indexOf(QStringLiteral("--only"));
    const auto wanted = [&](const char* part) {
        return onlyAt < 0 || args.value(onlyAt + 1) == QLatin1String(part);
    };
    Report report;
    if (wanted("throughput"))
        measureThroughput(setup, &report);
    if (wanted("cpu"))
        measureCpu(setup, &report);
    if (wanted("memory"))
        measureMemory(setup, &report);
    if (wanted("startup"))
        measureStartup(setup, &report);
    if (wanted("protocols"))
        measureProtocols(setup, &report);
    describeMethod(&report, machine, Machine::loadAverage(), (monotonicNs() - begun) / 60e9);

    std::printf("\n%s", qPrintable(report.markdown()));
    // The table first, whole, even when both streams go to one file.
    std::fflush(stdout);
    const QString json = QCoreApplication::applicationDirPath() + QStringLiteral("/results.json");
    QFile out(json);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
        out.write(QJsonDocument(report.json()).toJson()) > 0)
        std::fprintf(stderr, "Written to %s\n", qPrintable(json));
    else
        std::fprintf(stderr, "Could not write %s\n", qPrintable(json));
    return report.allMet() ? 0 : 1;
}
