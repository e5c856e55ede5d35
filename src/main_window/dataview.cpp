#include "main_window/dataview.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPlainTextEdit>
#include <QScrollBar>

namespace {

// Below this a hex dump would be hard to read; it scrolls sideways instead.
constexpr qreal smallestDumpPoints = 6;

} // namespace

DataView::DataView(QPlainTextEdit& view) : m_view(view), m_textFont(view.font()) {}

void DataView::show(const TextPreview::Preview& preview)
{
    if (preview.hexDump != m_dumpShown) {
        m_dumpShown = preview.hexDump;
        m_view.setFont(preview.hexDump ? dumpFont() : m_textFont);
        m_view.setLineWrapMode(preview.hexDump ? QPlainTextEdit::NoWrap
                                               : QPlainTextEdit::WidgetWidth);
    }
    m_view.setPlainText(preview.text);
}

QFont DataView::dumpFont() const
{
    // The widest line: offset, the bytes in pairs, the characters.
    const QString line = TextPreview::hexDump(QByteArray(TextPreview::bytesPerLine, 'x'));
    // The vertical scroll bar is counted in: a dump of any length fits with it.
    const qreal room = m_view.contentsRect().width() -
                       m_view.verticalScrollBar()->sizeHint().width() -
                       2 * m_view.document()->documentMargin() - 1;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    qreal points = m_textFont.pointSizeF() > 0 ? m_textFont.pointSizeF() : 9;
    font.setPointSizeF(points);
    while (points > smallestDumpPoints && QFontMetricsF(font).horizontalAdvance(line) > room) {
        points -= 0.25;
        font.setPointSizeF(points);
    }
    return font;
}
