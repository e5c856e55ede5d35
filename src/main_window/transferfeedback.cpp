#include "main_window/transferfeedback.h"

#include "transfer/transferreport.h"
#include "transfer/transfertext.h"

#include <QLabel>

namespace {

// Four times a second: the status moves with the transfer, and laying out two labels costs
// little next to the line's own wake-ups.
constexpr int refreshIntervalMs = 250;

} // namespace

TransferFeedback::TransferFeedback(QLabel& status, QLabel& detail, QObject* parent)
    : QObject(parent), m_status(status), m_detail(detail)
{
    m_tick.setInterval(refreshIntervalMs);
    connect(&m_tick, &QTimer::timeout, this, &TransferFeedback::refresh);
}

void TransferFeedback::started(const TransferReport& report)
{
    m_report = &report;
    m_note.clear();
    m_tick.start();
    refresh();
}

void TransferFeedback::ended(const QString& text)
{
    m_report = nullptr;
    m_tick.stop();
    show(text);
}

void TransferFeedback::note(const QString& text)
{
    m_note = text;
    refresh();
}

void TransferFeedback::show(const QString& text)
{
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    m_status.setText(text.left(lineEnd));
    m_detail.setText(lineEnd < 0 ? QString() : text.mid(lineEnd + 1));
}

void TransferFeedback::refresh()
{
    if (!m_report)
        return;
    show(TransferText::status(*m_report) +
         (m_note.isEmpty() ? QString() : QLatin1Char('\n') + m_note));
    emit refreshed();
}
