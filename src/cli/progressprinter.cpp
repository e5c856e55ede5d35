#include "cli/progressprinter.h"

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

void ProgressPrinter::start(qint64 total, const QString& verb)
{
    m_total = total;
    m_verb = verb;
    m_done = 0;
    m_printedDone = 0;
    m_lastChangeMs = 0;
    m_waitingText.clear();
    m_clock.start();
    m_timer.start();
}

void ProgressPrinter::update(qint64 done)
{
    if (done == m_done)
        return;
    m_done = done;
    m_lastChangeMs = m_clock.elapsed();
}

void ProgressPrinter::tick()
{
    if (m_style == Style::Live) {
        write(QLatin1Char('\r') + statusText(true).left(liveWidth) + clearToEnd);
        m_liveLineShown = true;
    } else if (m_done != m_printedDone) {
        // A line that only repeats the last one tells a log reader nothing.
        write(statusText(false) + QLatin1Char('\n'));
        m_printedDone = m_done;
    }
}

QString ProgressPrinter::statusText(bool live) const
{
    // The rate over the time bytes moved: a quiet line after the last byte does not lower it.
    const qint64 ms = m_lastChangeMs;
    const QString rate = formatRate(m_done, ms);
    QString timeLeft;
    // The time left from the whole time so far, so that it grows while the line stalls.
    const qint64 elapsed = m_clock.isValid() ? m_clock.elapsed() : 0;
    if (m_total > 0 && m_done > 0 && elapsed > 0 && m_done < m_total) {
        const double secondsLeft =
            double(m_total - m_done) * double(elapsed) / double(m_done) / 1000;
        timeLeft = TransferText::duration(qint64(secondsLeft + 0.5));
    }
    const int percent =
        m_total > 0 ? int(std::min<qint64>(100, m_done * 100 / m_total)) : (m_total == 0 ? 100 : 0);

    if (live) {
        QString line;
        if (m_total >= 0) {
            const int filled = m_total > 0 ? int(m_done * barWidth / m_total) : barWidth;
            line = QStringLiteral("[%1%2] %3% ")
                       .arg(QString(filled, QLatin1Char('#')),
                            QString(barWidth - filled, QLatin1Char('.')))
                       .arg(percent, 3);
            line += QStringLiteral("%1 / %2").arg(TransferText::bytes(m_done),
                                                  TransferText::bytes(m_total));
        } else {
            line = tr("%1 %2").arg(TransferText::bytes(m_done), m_verb);
        }
        if (!rate.isEmpty())
            line += QStringLiteral("  ") + rate;
        if (!timeLeft.isEmpty())
            line += tr("  ETA %1").arg(timeLeft);
        return line;
    }

    QString line =
        m_total >= 0
            ? tr("%1 %2 of %3 bytes (%4%)").arg(m_verb).arg(m_done).arg(m_total).arg(percent)
            : tr("%1 %2 bytes").arg(m_verb).arg(m_done);
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

QString ProgressPrinter::formatRate(qint64 bytes, qint64 ms)
{
    return ms > 0 && bytes > 0 ? TransferText::rate(double(bytes) * 1000 / double(ms)) : QString();
}
