#include "main_window/fittinglabel.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace {

bool fits(const QFont& font, const QString& text, int width)
{
    return QFontMetricsF(font).horizontalAdvance(text) <= width;
}

} // namespace

FittingLabel::FittingLabel(QWidget* parent) : QLabel(parent) {}

const FittingLabel::Fit& FittingLabel::fit() const
{
    const int width = contentsRect().width();
    if (m_fit.width == width && m_fit.sourceText == text() && m_fit.sourceFont == font())
        return m_fit;
    m_fit = {text(), font(), width, font(), text()};
    QFont& fitted = m_fit.font;
    // Half a point at a time keeps the text as large as it can be.
    const bool inPoints = fitted.pointSizeF() > 0;
    qreal size = inPoints ? fitted.pointSizeF() : fitted.pixelSize();
    const qreal smallest = inPoints ? smallestPoints : smallestPoints * logicalDpiY() / 72.0;
    while (!fits(fitted, m_fit.text, width) && size - 0.5 >= smallest) {
        size -= 0.5;
        if (inPoints)
            fitted.setPointSizeF(size);
        else
            fitted.setPixelSize(qRound(size));
    }
    if (!fits(fitted, m_fit.text, width))
        m_fit.text = QFontMetricsF(fitted).elidedText(m_fit.text, Qt::ElideMiddle, width);
    return m_fit;
}

void FittingLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(fit().font);
    style()->drawItemText(&painter, contentsRect(),
                          int(QStyle::visualAlignment(layoutDirection(), alignment())), palette(),
                          isEnabled(), fit().text, foregroundRole());
}

bool FittingLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty() && fit().text != text()) {
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
        return true;
    }
    return QLabel::event(event);
}
