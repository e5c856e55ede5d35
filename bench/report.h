#pragma once

#include <QJsonObject>
#include <QString>

#include <utility>
#include <vector>

// The median of the runs; NaN when there are none or one failed.
double median(std::vector<double> values);

// The machine the figures come from.
struct Machine
{
    QString cpu;    // the model name in /proc/cpuinfo
    int cores = 0;  // online
    QString kernel; // uname: system, release, machine
    QString date;   // UTC, when the run began
    QString load;   // the 1-minute load average then

    static Machine thisOne();
    static QString loadAverage();
    QString describe() const;
    QJsonObject toJson() const;
};

// One line of the results table.
struct Row
{
    enum class Result
    {
        Pass,
        Miss,
        Failed, // no figure could be taken; counts as a miss
        Info,   // shown beside the others, with no target
    };

    QString measure;  // what was measured
    QString settings; // nominal speed, size, runs
    QString figure;   // the program's figure, with its unit
    QString baseline; // the kernel path's figure, where there is one
    QString ratio;    // figure over baseline, where there is one
    QString target;
    Result result = Result::Failed;
    QJsonObject data; // the numbers behind the figure, for results.json
};

// The results: a header naming how they were taken, then one table. Printed as Markdown, ready
// to paste into the README, and written as JSON.
class Report
{
public:
    void addHeader(const QString& name, const QString& text) { m_header.emplace_back(name, text); }
    // Also in results.json field by field, for comparing runs.
    void setMachine(const Machine& machine) { m_machine = machine.toJson(); }
    void add(Row row) { m_rows.push_back(std::move(row)); }

    bool allMet() const;
    QString markdown() const;
    QJsonObject json() const;

private:
    std::vector<std::pair<QString, QString>> m_header;
    QJsonObject m_machine;
    std::vector<Row> m_rows;
};
