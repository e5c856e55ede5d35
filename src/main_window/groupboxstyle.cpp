#include "main_window/groupboxstyle.h"

#include <QApplication>
#include <QGroupBox>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOptionGroupBox>
#include <qdrawutil.h>

GroupBoxStyle::GroupBoxStyle(QObject* parent)
    : QProxyStyle(QStyleFactory::create(QApplication::style()->name()))
{
    setParent(parent);
}

void GroupBoxStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                  QPainter* painter, const QWidget* widget) const
{
    const auto* box = qobject_cast<const QGroupBox*>(widget);
    if (element != PE_FrameGroupBox || !box || box->title().isEmpty() || box->isFlat()) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    QStyleOptionGroupBox titled;
    titled.initFrom(box);
    titled.text = box->title();
    titled.textAlignment = box->alignment();
    titled.subControls = SC_GroupBoxFrame | SC_GroupBoxLabel;
    const QRect title = subControlRect(CC_GroupBox, &titled, SC_GroupBoxLabel, box);

    QRect frame = option->rect;
    frame.setTop(title.center().y());
    painter->save();
    painter->setClipRegion(QRegion(option->rect) - title.adjusted(-2, 0, 2, 0));
    // Etched, as a frame around option buttons has always been drawn.
    qDrawShadeRect(painter, frame, option->palette, true, 1, 0);
    painter->restore();
}
