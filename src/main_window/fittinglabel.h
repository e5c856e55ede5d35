#pragma once

#include <QFont>
#include <QLabel>

// A label that never cuts its text off: where the font is wider than the layout assumes, the text
// is drawn in a smaller size of the same font until it fits the label's width. The label's
// geometry and its font stay as they are. Only where even the smallest readable size is too wide
// (a long path) is the middle of the text left out, and the whole text is the tool tip.
class FittingLabel : public QLabel
{
    Q_OBJECT

public:
    // Below this the text is elided instead of shrunk further.
    static constexpr qreal smallestPoints = 6;

    explicit FittingLabel(QWidget* parent = nullptr);

    // The font and the text as drawn now.
    QFont fittedFont() const { return fit().font; }
    QString shownText() const { return fit().text; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Fit
    {
        QString sourceText;
        QFont sourceFont;
        int width = -1;
        QFont font;
        QString text;
    };
    const Fit& fit() const;

    mutable Fit m_fit;
};
