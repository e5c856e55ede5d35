#include "cli/progressprinter.h"

#include "transfer/transferreport.h"
#include "transfer/transfertext.h"

#include <QCoreApplication>
#include <QIODevice>
#include <QStringList>

#include <algorithm>
#include <unistd.h>

namespace {

constexpr int liveIntervalMs = 100;
constexpr int linesIntervalMs = 2000;
constexpr int barWidth = 20;
// The live line stays below this many characters, so that it never wraps on a usual terminal.
constexpr qsizetype liveWidth = 79;

const QString clearToEnd = QStringLiteral("\x1b[K");

} // namespace

ProgressPrinter::ProgressPrinter(QIODevice& out, Style style, QObject* parent)
    : QObject(parent), m_out(out), m_style(style)
{
    m_timer.setInterval(style == Style::Live ? liveIntervalMs : linesIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &ProgressPrinter::tick);
}

ProgressPrinter::Style ProgressPrinter::styleFor(int fd)
{
    return ::isatty(fd) ? Style::Live : Style::Lines;
}

void ProgressPrinter::showWaiting(const QString& text)
{
    m_waitingText = text;
    if (m_style != Style::Live)
        return;
    write(QLatin1Char('\r') + text.left(liveWidth) + clearToEnd);
    m_liveLineShown = true;
}

void ProgressPrinter::start(const TransferReport& report, const QString& verb)
{
    m_report = &report;
    m_verb = verb;
    m_printedDone = 0;
    m_waitingText.clear();
    m_timer.start();
}

void ProgressPrinter::tick()
{
    if (m_style == Style::Live) {
        write(QLatin1Char('\r') + statusText(true).left(liveWidth) + clearToEnd);
        m_liveLineShown = true;
    } else if (m_report && m_report->count() != m_printedDone) {
        // A line that only repeats the last one tells a log reader nothing.
        write(statusText(false) + QLatin1Char('\n'));
        m_printedDone = m_report->count();
    }
}

QString ProgressPrinter::statusText(bool live) const
{
    if (!m_report)
        return QString();
    const qint64 done = m_report->count();
    const qint64 total = m_report->length();
    const std::optional<double> bytesPerSecond = m_report->recentRate();
    const QString rate = bytesPerSecond ? TransferText::rate(*bytesPerSecond) : QString();
    const std::optional<qint64> secondsLeft = m_report->secondsLeft();
    const QString timeLeft =
        secondsLeft && done < total ? TransferText::duration(*secondsLeft) : QString();
    const int percent =
        total > 0 ? int(std::min<qint64>(100, done * 100 / total)) : (total == 0 ? 100 : 0);

    if (live) {
        QString line;
        if (total >= 0) {
            const int filled = total > 0 ? int(done * barWidth / total) : barWidth;
            line = QStringLiteral("[%1%2] %3% ")
                       .arg(QString(filled, QLatin1Char('#')),
                            QString(barWidth - filled, QLatin1Char('.')))
                       .arg(percent, 3);
            line += QStringLiteral("%1 / %2").arg(TransferText::bytes(done),
                                                  TransferText::bytes(total));
        } else {
            line = tr("%1 %2").arg(TransferText::bytes(done), m_verb);
        }
        if (!rate.isEmpty())
            line += QStringLiteral("  ") + rate;
        if (!timeLeft.isEmpty())
            line += tr("  ETA %1").arg(timeLeft);
        return line;
    }

    QString line = total >= 0
                       ? tr("%1 %2 of %3 bytes (%4%)").arg(m_verb).arg(done).arg(total).arg(percent)
                       : tr("%1 %2 bytes").arg(m_verb).arg(done);
    if (!rate.isEmpty())
        line += QStringLiteral(", ") + rate;
    if (!timeLeft.isEmpty())
        line += tr(", about %1 left").arg(timeLeft);
    return line;
}

void ProgressPrinter::message(const QString& text)
{
    clearLiveLine();
    write(text + QLatin1Char('\n'));
    // The live line comes back at the next tick, or now while still waiting.
    if (m_style == Style::Live && !m_waitingText.isEmpty())
        showWaiting(m_waitingText);
}

void ProgressPrinter::finish(const QString& summary)
{
    m_timer.stop();
    m_report = nullptr;
    m_waitingText.clear();
    clearLiveLine();
    write(summary + QLatin1Char('\n'));
}

void ProgressPrinter::clearLiveLine()
{
    if (!m_liveLineShown)
        return;
    write(QLatin1Char('\r') + clearToEnd);
    m_liveLineShown = false;
}

void ProgressPrinter::write(const QString& text)
{
    // Progress is a courtesy: a closed or full standard error must not stop the transfer.
    m_out.write(text.toLocal8Bit());
}

QString ProgressPrinter::oneLine(const QString& text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (!lines[i].isEmpty() && !QStringLiteral(".:;!?").contains(lines[i].back()))
            lines[i] += QLatin1Char('.');
    }
    return lines.join(QLatin1Char(' '));
}

void ProgressPrinter::error(const QString& text)
{
    message(QStringLiteral("marlune: ") + oneLine(text));
}
