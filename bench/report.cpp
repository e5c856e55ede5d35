#include "report.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>

#include <algorithm>
#include <cmath>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

QString cpuModel()
{
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (!info.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown CPU");
    for (const QByteArray& line : info.readAll().split('\n')) {
        if (line.startsWith("model name"))
            return QString::fromLocal8Bit(line.mid(line.indexOf(':') + 1).trimmed());
    }
    return QStringLiteral("unknown CPU");
}

QString resultText(Row::Result result)
{
    switch (result) {
    case Row::Result::Pass:
        return QStringLiteral("pass");
    case Row::Result::Miss:
        return QStringLiteral("miss");
    case Row::Result::Info:
        return QStringLiteral("information");
    case Row::Result::Failed:
        break;
    }
    return QStringLiteral("failed");
}

} // namespace

Machine Machine::thisOne()
{
    Machine m;
    m.cpu = cpuModel();
    m.cores = static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
    utsname name{};
    if (::uname(&name) == 0)
        m.kernel =
            QStringLiteral("%1 %2 %3")
                .arg(QString::fromLocal8Bit(name.sysname), QString::fromLocal8Bit(name.release),
                     QString::fromLocal8Bit(name.machine));
    m.date = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
    m.load = loadAverage();
    return m;
}

QString Machine::loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll().split(' ').value(0));
}

QString Machine::describe() const
{
    return QStringLiteral("%1, %2 cores, %3").arg(cpu).arg(cores).arg(kernel);
}

QJsonObject Machine::toJson() const
{
    return QJsonObject{{QStringLiteral("cpu"), cpu},
                       {QStringLiteral("cores"), cores},
                       {QStringLiteral("kernel"), kernel},
                       {QStringLiteral("date"), date},
                       {QStringLiteral("loadAtStart"), load}};
}

bool Report::allMet() const
{
    return std::all_of(m_rows.begin(), m_rows.end(), [](const Row& r) {
        return r.result == Row::Result::Pass || r.result == Row::Result::Info;
    });
}

QString Report::markdown() const
{
    QString text;
    for (const auto& [name, value] : m_header)
        text += QStringLiteral("- %1: %2\n").arg(name, value);
    text +=
        QStringLiteral("\n| measure | settings | figure | baseline | ratio | target | result |\n"
                       "|---|---|---|---|---|---|---|\n");
    for (const Row& r : m_rows) {
        text += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |\n")
                    .arg(r.measure, r.settings, r.figure, r.baseline, r.ratio, r.target,
                         resultText(r.result));
    }
    return text;
}

QJsonObject Report::json() const
{
    QJsonObject header;
    for (const auto& [name, value] : m_header)
        header.insert(name, value);
    QJsonArray rows;
    for (const Row& r : m_rows) {
        QJsonObject row = r.data;
        row.insert(QStringLiteral("measure"), r.measure);
        row.insert(QStringLiteral("settings"), r.settings);
        row.insert(QStringLiteral("figure"), r.figure);
        row.insert(QStringLiteral("baseline"), r.baseline);
        row.insert(QStringLiteral("ratio"), r.ratio);
        row.insert(QStringLiteral("target"), r.target);
        row.insert(QStringLiteral("result"), resultText(r.result));
        rows.append(row);
    }
    return QJsonObject{{QStringLiteral("machine"), m_machine},
                       {QStringLiteral("header"), header},
                       {QStringLiteral("rows"), rows}};
}

double median(std::vector<double> values)
{
    if (values.empty() ||
        std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); }))
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
