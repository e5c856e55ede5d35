#pragma once

#include <QProxyStyle>

// Draws a titled frame the way the window's layout assumes: the border runs through the middle of
// the title, with a gap behind it, so the first option button below the title clears the border.
// Some styles (Fusion) put the border below the title instead, across that button. Everything
// else is drawn by the application's style.
class GroupBoxStyle : public QProxyStyle
{
    Q_OBJECT

public:
    explicit GroupBoxStyle(QObject* parent);

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};
