// Measures the program against the limit the kernel itself sets: the same transfers as plain
// 64 KiB read/write loops on the same kind of raw pseudo-terminal, run alternately in one
// invocation. Prints a table of every figure with its target and writes the same as
// results.json next to this executable. Exit status 0 when every measured target is met.
//
//   marlune_bench                                          the whole benchmark
//   marlune_bench --window send|receive DEVICE FILE BYTES  one transfer through the window, in
//                                                          a process of its own (CPU, memory)

#include "childprocess.h"
#include "farend.h"
#include "pattern.h"
#include "windowrig.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <map>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int64_t mib = 1 << 20;
constexpr std::int64_t throughputBytes = 256 * mib;
constexpr int throughputRuns = 3;
// 115200 baud with a start and a stop bit around each byte.
constexpr std::int64_t lineBytesPerSecond = 11'520;
// A paced run measures CPU over `pacedMeasureSeconds` once `pacedSettleSeconds` have passed,
// so that start-up (measured on its own) does not count.
constexpr int pacedSettleSeconds = 2;
constexpr int pacedMeasureSeconds = 10;
constexpr std::int64_t memorySmall = mib;
constexpr std::int64_t memoryLarge = 1024 * mib;
constexpr int startupRuns = 10;
constexpr int transferTimeoutMs = 240'000;

constexpr double throughputRatioTarget = 0.8;
constexpr double cpuTarget = 0.01;
constexpr double memoryTargetMiB = 16;
// How long a memory run's line stays still while the program starts.
constexpr int memoryHoldOffMs = 500;
constexpr double latenessP99Target = 20;
constexpr double latenessMaxTarget = 100;
constexpr double startupTargetMs = 300;

// Where the benchmark keeps its files and how it reaches the programs it runs.
struct Setup
{
    QString dir;
    QString self;
    QString marlune = QStringLiteral(MARLUNE_EXECUTABLE);
    QString log;

    QString file(const char* name) const { return dir + QLatin1Char('/') + QLatin1String(name); }
};

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * values.size()));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double megabytesPerSecond(std::int64_t bytes, std::int64_t ns)
{
    return ns > 0 ? bytes * 1e3 / ns : NAN;
}

void sleepUntil(std::int64_t ns)
{
    const std::int64_t left = ns - monotonicNs();
    if (left > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

void note(const QString& text)
{
    std::fprintf(stderr, "  %s\n", qPrintable(text));
}

// --- Baseline: what `cat FILE > PORT` and `cat PORT > FILE` do, as 64 KiB loops ----------------

bool writeAll(int fd, const char* data, ssize_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// MB/s, or NaN when the bytes did not arrive intact.
double baselineSend(const Setup& setup, std::int64_t bytes)
{
    FarEnd far;
    far.startReceiving(bytes);
    const std::int64_t start = monotonicNs();
    const int port = ::open(QFile::encodeName(far.devicePath()).constData(), O_WRONLY | O_NOCTTY);
    const int in = ::open(QFile::encodeName(setup.file("send.bin")).constData(), O_RDONLY);
    std::vector<char> buffer(64 * 1024);
    for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0;) {
        if (!writeAll(port, buffer.data(), n))
            break;
    }
    ::close(in);
    const bool ok = far.wait(transferTimeoutMs);
    ::close(port);
    return ok ? megabytesPerSecond(bytes, far.lastByteNs() - start) : NAN;
}

double baselineReceive(const Setup& setup, std::int64_t bytes)
{
    FarEnd far;
    const QString path = setup.file("received.bin");
    const int port = ::open(QFile::encodeName(far.devicePath()).constData(), O_RDONLY | O_NOCTTY);
    // A blocking read that waits for at least one byte, as `cat` needs.
    termios tio{};
    ::tcgetattr(port, &tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(port, TCSANOW, &tio);
    const int out = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buffer(64 * 1024);
    const std::int64_t start = monotonicNs();
    far.startSending(bytes);
    std::int64_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::read(port, buffer.data(), buffer.size());
        if (n <= 0 || !writeAll(out, buffer.data(), n))
            break;
        done += n;
    }
    const std::int64_t end = monotonicNs();
    ::close(out);
    ::close(port);
    far.wait(transferTimeoutMs);
    const bool ok = Pattern::fileMatches(path, bytes);
    QFile::remove(path);
    return ok ? megabytesPerSecond(bytes, end - start) : NAN;
}

// --- The window, in this process --------------------------------------------------------------

double windowSend(const Setup& setup, std::int64_t bytes)
{
    FarEnd far;
    WindowRig window(far.devicePath());
    far.startReceiving(bytes);
    const std::int64_t start = monotonicNs();
    const bool sent = window.send(setup.file("send.bin"));
    const bool arrived = far.wait(transferTimeoutMs);
    if (!sent || !arrived)
        note(QStringLiteral("window send failed: %1").arg(window.errors()));
    return sent && arrived ? megabytesPerSecond(bytes, far.lastByteNs() - start) : NAN;
}

double windowReceive(const Setup& setup, std::int64_t bytes, std::vector<double>* lateness)
{
    FarEnd far;
    const QString path = setup.file("received.bin");
    WindowRig window(far.devicePath());
    if (!window.startReceive(path))
        return NAN;
    const std::int64_t start = monotonicNs();
    far.startSending(bytes);
    const bool received = window.finishReceive(
        bytes, [&] { return far.finished(); }, transferTimeoutMs);
    const std::int64_t end = monotonicNs();
    far.wait(transferTimeoutMs);
    lateness->insert(lateness->end(), window.lateness.begin(), window.lateness.end());
    const bool ok = received && Pattern::fileMatches(path, bytes);
    if (!ok)
        note(QStringLiteral("window receive failed: %1").arg(window.errors()));
    QFile::remove(path);
    return ok ? megabytesPerSecond(bytes, end - start) : NAN;
}

// --- A program in a process of its own ---------------------------------------------------------

struct ChildRun
{
    enum Status
    {
        Ok,
        NotBuilt, // the command line said it does not know the subcommand
        Failed,
    };
    Status status = Failed;
    double megabytesPerSecond = NAN;
    double cpuShare = NAN; // CPU seconds per second, while paced
    std::int64_t peakRssKiB = 0;
};

using Arguments = std::function<QStringList(const QString& device, const QString& file)>;

// Runs `program` moving `bytes` to or from the far end, paced to `bytesPerSecond` (0: unpaced).
ChildRun runChild(const Setup& setup, const QString& program, const Arguments& arguments,
                  bool programSends, const QString& file, std::int64_t bytes,
                  std::int64_t bytesPerSecond, int holdOffMs = 0)
{
    ChildRun run;
    FarEnd far;
    if (programSends && holdOffMs == 0)
        far.startReceiving(bytes, bytesPerSecond);
    ChildProcess child;
    if (!child.start(program, arguments(far.devicePath(), file), {}, setup.log))
        return run;
    if (holdOffMs > 0) {
        // The line stays still until the program has started up and been seen doing so, so a
        // short run's peak memory is not caught half loaded.
        sleepUntil(child.startedNs() + std::int64_t(holdOffMs) * 1'000'000);
        child.sampleMemory();
        if (programSends)
            far.startReceiving(bytes, bytesPerSecond);
    }
    if (!programSends)
        far.startSending(bytes, bytesPerSecond);

    if (bytesPerSecond > 0) {
        const std::int64_t from = child.startedNs() + pacedSettleSeconds * 1'000'000'000LL;
        const std::int64_t to = from + pacedMeasureSeconds * 1'000'000'000LL;
        const auto waitFor = [&](std::int64_t ns) {
            while (monotonicNs() < ns && !child.hasEnded())
                sleepUntil(std::min(ns, monotonicNs() + 100'000'000));
        };
        waitFor(from);
        const std::int64_t cpuFrom = child.cpuNs();
        const std::int64_t at = monotonicNs();
        waitFor(to);
        if (!child.hasEnded())
            run.cpuShare = double(child.cpuNs() - cpuFrom) / double(monotonicNs() - at);
        far.unpace();
    }
    const bool exited = child.waitForExit(transferTimeoutMs);
    if (exited && child.exitCode() == 2) {
        far.abort();
        run.status = ChildRun::NotBuilt;
        return run;
    }
    const bool farDone = far.wait(programSends ? 20'000 : transferTimeoutMs);
    const bool intact = programSends ? farDone : Pattern::fileMatches(file, bytes);
    if (!exited || child.exitCode() != 0 || !intact) {
        note(QStringLiteral("%1 %2: exit code %3, %4 of %5 bytes moved, %6")
                 .arg(program, programSends ? QStringLiteral("send") : QStringLiteral("receive"))
                 .arg(child.exitCode())
                 .arg(far.moved())
                 .arg(bytes)
                 .arg(intact ? QStringLiteral("intact") : QStringLiteral("NOT intact")));
        QFile log(setup.log);
        if (log.open(QIODevice::ReadOnly))
            note(QString::fromLocal8Bit(log.readAll().right(2000)));
        return run;
    }
    run.status = ChildRun::Ok;
    const std::int64_t end = programSends ? far.lastByteNs() : child.exitedNs();
    run.megabytesPerSecond = megabytesPerSecond(bytes, end - child.startedNs());
    run.peakRssKiB = child.peakRssKiB();
    return run;
}

Arguments cliArguments(bool send, std::int64_t bytes)
{
    return [send, bytes](const QString& device, const QString& file) {
        if (send)
            return QStringList{QStringLiteral("send"),   file,
                               QStringLiteral("--com1"), device,
                               QStringLiteral("--port"), QStringLiteral("1"),
                               QStringLiteral("--baud"), QStringLiteral("115200")};
        return QStringList{QStringLiteral("receive"),     file,
                           QStringLiteral("--com1"),      device,
                           QStringLiteral("--port"),      QStringLiteral("1"),
                           QStringLiteral("--baud"),      QStringLiteral("115200"),
                           QStringLiteral("--max-bytes"), QString::number(bytes),
                           QStringLiteral("--force")};
    };
}

Arguments windowArguments(bool send, std::int64_t bytes)
{
    return [send, bytes](const QString& device, const QString& file) {
        return QStringList{QStringLiteral("--window"),
                           send ? QStringLiteral("send") : QStringLiteral("receive"), device, file,
                           QString::number(bytes)};
    };
}

// --- The results table -------------------------------------------------------------------------

struct Row
{
    QString figure;
    QString measured;
    QString target;
    QString status; // "pass", "miss", "n/a" or "failed"; empty for a reference figure
    double value = NAN;
    QString unit;
};

class Results
{
public:
    void add(Row row) { m_rows.push_back(std::move(row)); }
    void addChecked(const QString& figure, double value, const QString& unit,
                    const QString& measured, const QString& target, bool met)
    {
        add({figure, measured, target,
             std::isnan(value) ? QStringLiteral("failed")
                               : (met ? QStringLiteral("pass") : QStringLiteral("miss")),
             value, unit});
    }
    void addNotBuilt(const QString& figure, const QString& target)
    {
        add({figure, QStringLiteral("n/a (command line not built)"), target, QStringLiteral("n/a"),
             NAN, QString()});
    }

    bool allMet() const
    {
        return std::none_of(m_rows.begin(), m_rows.end(), [](const Row& r) {
            return r.status == QLatin1String("miss") || r.status == QLatin1String("failed");
        });
    }

    void print() const
    {
        std::printf("\n%-52s %-34s %-18s %s\n", "figure", "measured", "target", "result");
        std::printf("%s\n", QByteArray(112, '-').constData());
        for (const Row& r : m_rows) {
            std::printf("%-52s %-34s %-18s %s\n", qPrintable(r.figure), qPrintable(r.measured),
                        qPrintable(r.target), qPrintable(r.status));
        }
    }

    bool writeJson(const QString& path, const QJsonObject& machine) const
    {
        QJsonArray rows;
        for (const Row& r : m_rows) {
            rows.append(QJsonObject{
                {QStringLiteral("figure"), r.figure},
                {QStringLiteral("measured"), r.measured},
                {QStringLiteral("value"), std::isnan(r.value) ? QJsonValue() : r.value},
                {QStringLiteral("unit"), r.unit},
                {QStringLiteral("target"), r.target},
                {QStringLiteral("result"), r.status},
            });
        }
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(QJsonDocument(QJsonObject{{QStringLiteral("machine"), machine},
                                                    {QStringLiteral("figures"), rows}})
                              .toJson()) > 0;
    }

private:
    std::vector<Row> m_rows;
};

QString formatNumber(double value, int decimals)
{
    return std::isnan(value) ? QStringLiteral("failed") : QString::number(value, 'f', decimals);
}

QString cpuModel()
{
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (!info.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : info.readAll().split('\n')) {
        if (line.startsWith("model name"))
            return QString::fromLocal8Bit(line.mid(line.indexOf(':') + 1).trimmed());
    }
    return {};
}

// --- The measurements --------------------------------------------------------------------------

struct Throughput
{
    std::vector<double> runs;
    bool notBuilt = false;
};

void measureThroughput(const Setup& setup, Results* results)
{
    std::fprintf(stderr, "Throughput, %lld MiB each way, %d runs:\n",
                 static_cast<long long>(throughputBytes / mib), throughputRuns);
    std::map<QString, Throughput> figures;
    std::vector<double> lateness;
    Pattern::writeFile(setup.file("send.bin"), throughputBytes);
    const auto cli = [&](bool send) {
        Throughput& t = figures[send ? QStringLiteral("cli send") : QStringLiteral("cli receive")];
        if (t.notBuilt)
            return;
        const QString file = send ? setup.file("send.bin") : setup.file("received.bin");
        const ChildRun run = runChild(setup, setup.marlune, cliArguments(send, throughputBytes),
                                      send, file, throughputBytes, 0);
        t.notBuilt = run.status == ChildRun::NotBuilt;
        if (!t.notBuilt)
            t.runs.push_back(run.megabytesPerSecond);
        if (!send)
            QFile::remove(file);
    };
    for (int run = 1; run <= throughputRuns; ++run) {
        figures[QStringLiteral("baseline send")].runs.push_back(
            baselineSend(setup, throughputBytes));
        figures[QStringLiteral("window send")].runs.push_back(windowSend(setup, throughputBytes));
        cli(true);
        figures[QStringLiteral("baseline receive")].runs.push_back(
            baselineReceive(setup, throughputBytes));
        figures[QStringLiteral("window receive")].runs.push_back(
            windowReceive(setup, throughputBytes, &lateness));
        cli(false);
        QStringList line;
        for (const auto& [name, t] : figures)
            line << QStringLiteral("%1 %2").arg(name).arg(
                t.notBuilt ? QStringLiteral("n/a") : formatNumber(t.runs.back(), 1));
        note(QStringLiteral("run %1 (MB/s): %2").arg(run).arg(line.join(QStringLiteral(", "))));
    }

    const QString target = QStringLiteral(">= %1 x baseline").arg(throughputRatioTarget);
    for (const char* direction : {"send", "receive"}) {
        const Throughput& baseline = figures[QStringLiteral("baseline %1").arg(direction)];
        const double baselineMedian = median(baseline.runs);
        results->add({QStringLiteral("baseline %1, 64 KiB loop on a pty").arg(direction),
                      QStringLiteral("%1 MB/s").arg(formatNumber(baselineMedian, 1)),
                      QStringLiteral("reference"),
                      std::isnan(baselineMedian) ? QStringLiteral("failed") : QString(),
                      baselineMedian, QStringLiteral("MB/s")});
        for (const char* who : {"window", "cli"}) {
            const QString name = QStringLiteral("%1 %2").arg(QLatin1String(who), direction);
            const QString figure =
                QStringLiteral("%1 %2 throughput")
                    .arg(QLatin1String(who) == QLatin1String("cli") ? QStringLiteral("command line")
                                                                    : QStringLiteral("window"),
                         direction);
            const Throughput& t = figures[name];
            if (t.notBuilt) {
                results->addNotBuilt(figure, target);
                continue;
            }
            // Each run against the baseline run next to it, so drift of the machine cancels.
            std::vector<double> ratios;
            for (std::size_t i = 0; i < t.runs.size() && i < baseline.runs.size(); ++i)
                ratios.push_back(t.runs[i] / baseline.runs[i]);
            const bool anyFailed =
                std::any_of(ratios.begin(), ratios.end(), [](double r) { return std::isnan(r); });
            const double ratio = anyFailed ? NAN : median(ratios);
            results->addChecked(figure, ratio, QStringLiteral("x baseline"),
                                QStringLiteral("%1 MB/s = %2 x baseline")
                                    .arg(formatNumber(median(t.runs), 1), formatNumber(ratio, 2)),
                                target, ratio >= throughputRatioTarget);
        }
    }

    const double p99 = percentile(lateness, 99);
    const double worst =
        lateness.empty() ? NAN : *std::max_element(lateness.begin(), lateness.end());
    results->addChecked(QStringLiteral("10 ms timer lateness in a full-speed receive, p99"), p99,
                        QStringLiteral("ms"), QStringLiteral("%1 ms").arg(formatNumber(p99, 1)),
                        QStringLiteral("<= %1 ms").arg(latenessP99Target),
                        p99 <= latenessP99Target);
    results->addChecked(QStringLiteral("10 ms timer lateness in a full-speed receive, max"), worst,
                        QStringLiteral("ms"), QStringLiteral("%1 ms").arg(formatNumber(worst, 1)),
                        QStringLiteral("<= %1 ms").arg(latenessMaxTarget),
                        worst <= latenessMaxTarget);
    QFile::remove(setup.file("send.bin"));
}

void measureCpu(const Setup& setup, Results* results)
{
    std::fprintf(stderr, "CPU on a line paced at %lld bytes/s, %d s measured each way:\n",
                 static_cast<long long>(lineBytesPerSecond), pacedMeasureSeconds);
    const int pacedSeconds = pacedSettleSeconds + pacedMeasureSeconds;
    // The program keeps sending past the measured time, so the line never runs dry early.
    const std::int64_t sendBytes = pacedSeconds * lineBytesPerSecond + 128 * 1024;
    // Whole receive blocks, a second's worth more than the measured time takes; the rest
    // follows unpaced.
    const std::int64_t receiveBytes = (pacedSeconds + 1) * lineBytesPerSecond / 512 * 512;
    Pattern::writeFile(setup.file("paced.bin"), sendBytes);
    const QString target = QStringLiteral("<= %1% of a core").arg(cpuTarget * 100);
    for (const bool window : {true, false}) {
        for (const bool send : {true, false}) {
            const QString figure =
                QStringLiteral("CPU on a paced 115200 line, %1 %2")
                    .arg(window ? QStringLiteral("window") : QStringLiteral("command line"),
                         send ? QStringLiteral("send") : QStringLiteral("receive"));
            const std::int64_t bytes = send ? sendBytes : receiveBytes;
            const QString file = send ? setup.file("paced.bin") : setup.file("received.bin");
            const ChildRun run =
                runChild(setup, window ? setup.self : setup.marlune,
                         window ? windowArguments(send, bytes) : cliArguments(send, bytes), send,
                         file, bytes, lineBytesPerSecond);
            if (!send)
                QFile::remove(file);
            if (run.status == ChildRun::NotBuilt) {
                results->addNotBuilt(figure, target);
                continue;
            }
            const double share = run.status == ChildRun::Ok ? run.cpuShare : NAN;
            note(QStringLiteral("%1: %2%").arg(figure, formatNumber(share * 100, 3)));
            results->addChecked(
                figure, share * 100, QStringLiteral("% of a core"),
                std::isnan(share)
                    ? QStringLiteral("failed")
                    : QStringLiteral("%1% of a core").arg(formatNumber(share * 100, 2)),
                target, share <= cpuTarget);
        }
    }
    QFile::remove(setup.file("paced.bin"));
}

void measureMemory(const Setup& setup, Results* results)
{
    std::fprintf(stderr, "Peak memory, %lld MiB transfer against %lld MiB:\n",
                 static_cast<long long>(memoryLarge / mib),
                 static_cast<long long>(memorySmall / mib));
    Pattern::writeFile(setup.file("small.bin"), memorySmall);
    Pattern::writeFile(setup.file("large.bin"), memoryLarge);
    const QString target = QStringLiteral("<= %1 MiB").arg(memoryTargetMiB);
    for (const bool window : {true, false}) {
        for (const bool send : {true, false}) {
            const QString figure =
                QStringLiteral("peak memory, %1 %2, 1 GiB minus 1 MiB")
                    .arg(window ? QStringLiteral("window") : QStringLiteral("command line"),
                         send ? QStringLiteral("send") : QStringLiteral("receive"));
            std::int64_t peak[2] = {0, 0};
            ChildRun::Status status = ChildRun::Ok;
            for (int i = 0; i < 2 && status == ChildRun::Ok; ++i) {
                const std::int64_t bytes = i == 0 ? memorySmall : memoryLarge;
                const QString file = send ? setup.file(i == 0 ? "small.bin" : "large.bin")
                                          : setup.file("received.bin");
                const ChildRun run =
                    runChild(setup, window ? setup.self : setup.marlune,
                             window ? windowArguments(send, bytes) : cliArguments(send, bytes),
                             send, file, bytes, 0, memoryHoldOffMs);
                if (!send)
                    QFile::remove(file);
                status = run.status;
                peak[i] = run.peakRssKiB;
            }
            if (status == ChildRun::NotBuilt) {
                results->addNotBuilt(figure, target);
                continue;
            }
            const double growth = status == ChildRun::Ok ? (peak[1] - peak[0]) / 1024.0 : NAN;
            note(QStringLiteral("%1: %2 KiB then %3 KiB").arg(figure).arg(peak[0]).arg(peak[1]));
            results->addChecked(figure, growth, QStringLiteral("MiB"),
                                QStringLiteral("%1 MiB (%2 -> %3 MiB)")
                                    .arg(formatNumber(growth, 1), formatNumber(peak[0] / 1024.0, 1),
                                         formatNumber(peak[1] / 1024.0, 1)),
                                target, growth <= memoryTargetMiB);
        }
    }
    QFile::remove(setup.file("small.bin"));
    QFile::remove(setup.file("large.bin"));
}

void measureStartup(const Setup& setup, Results* results)
{
    std::fprintf(stderr, "Start-up to the window shown, %d runs:\n", startupRuns);
    std::vector<double> times;
    bool failed = false;
    for (int i = 0; i < startupRuns && !failed; ++i) {
        ChildProcess child;
        if (!child.start(setup.marlune, {}, {QStringLiteral("MARLUNE_EXIT_WHEN_SHOWN=1")}, {})) {
            failed = true;
            break;
        }
        const QString line = child.readLine(30'000);
        const std::int64_t shownNs = monotonicNs();
        child.waitForExit(10'000);
        if (!line.startsWith(QLatin1String("shown"))) {
            note(QStringLiteral("no \"shown\" line from the program (got \"%1\")").arg(line));
            failed = true;
            break;
        }
        times.push_back((shownNs - child.startedNs()) / 1e6);
    }
    const double ms = failed ? NAN : median(times);
    note(QStringLiteral("median %1 ms").arg(formatNumber(ms, 1)));
    results->addChecked(QStringLiteral("start-up to the window shown, median"), ms,
                        QStringLiteral("ms"), QStringLiteral("%1 ms").arg(formatNumber(ms, 0)),
                        QStringLiteral("<= %1 ms").arg(startupTargetMs), ms <= startupTargetMs);
}

// One transfer through the window, for a parent that measures this process from outside.
int windowChild(const QStringList& args)
{
    if (args.size() != 4)
        return 2;
    const bool send = args[0] == QLatin1String("send");
    // Looks for the end only now and then, so that the looking costs next to no CPU itself.
    WindowRig window(args[1], 250);
    bool ok = false;
    if (send)
        ok = window.send(args[2]);
    else {
        // The far end is in another process: once all but a tail arrived, the tail is given a
        // moment to come too.
        QElapsedTimer sinceNearlyAll;
        const std::int64_t bytes = args[3].toLongLong();
        ok = window.startReceive(args[2]) && window.finishReceive(
                                                 bytes,
                                                 [&] {
                                                     if (!sinceNearlyAll.isValid())
                                                         sinceNearlyAll.start();
                                                     return sinceNearlyAll.elapsed() > 200;
                                                 },
                                                 transferTimeoutMs);
    }
    if (!ok)
        std::fprintf(stderr, "window %s failed: %s\n", qPrintable(args[0]),
                     qPrintable(window.errors()));
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    // Every window, here and in the processes started, is offscreen and keeps its settings in
    // a folder of its own.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QTemporaryDir dir;
    if (!::getenv("MARLUNE_BENCH_CONFIG")) {
        ::setenv("XDG_CONFIG_HOME", qPrintable(dir.path() + QStringLiteral("/config")), 1);
        ::setenv("MARLUNE_BENCH_CONFIG", "1", 1);
    }
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (!args.isEmpty() && args[0] == QLatin1String("--window"))
        return windowChild(args.mid(1));

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::int64_t begun = monotonicNs();
    Setup setup;
    setup.dir = dir.path();
    setup.self = QCoreApplication::applicationFilePath();
    setup.log = setup.file("children.log");
    // `--only NAME` runs one part, for working on it.
    const QString only = args.value(args.indexOf(QStringLiteral("--only")) + 1);
    const auto wanted = [&](const char* part) {
        return args.indexOf(QStringLiteral("--only")) < 0 || only == QLatin1String(part);
    };
    Results results;
    if (wanted("throughput"))
        measureThroughput(setup, &results);
    if (wanted("cpu"))
        measureCpu(setup, &results);
    if (wanted("memory"))
        measureMemory(setup, &results);
    if (wanted("startup"))
        measureStartup(setup, &results);

    const QString model = cpuModel();
    const int cores = static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
    const double minutes = (monotonicNs() - begun) / 60e9;
    results.print();
    std::printf("\n%s, %d cores; %.1f minutes.\n", qPrintable(model), cores, minutes);
    const QString json = QCoreApplication::applicationDirPath() + QStringLiteral("/results.json");
    if (results.writeJson(json, QJsonObject{{QStringLiteral("cpu"), model},
                                            {QStringLiteral("cores"), cores},
                                            {QStringLiteral("minutes"), minutes}}))
        std::printf("Written to %s\n", qPrintable(json));
    return results.allMet() ? 0 : 1;
}
