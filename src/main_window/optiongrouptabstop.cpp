#include "main_window/optiongrouptabstop.h"

#include <QAbstractButton>

OptionGroupTabStop::OptionGroupTabStop(QList<QAbstractButton*> group, QObject* parent)
    : QObject(parent), m_group(std::move(group))
{
    for (QAbstractButton* button : m_group)
        connect(button, &QAbstractButton::toggled, this, &OptionGroupTabStop::follow);
    follow();
}

void OptionGroupTabStop::follow()
{
    const bool anyChecked =
        std::any_of(m_group.cbegin(), m_group.cend(), [](auto* b) { return b->isChecked(); });
    for (QAbstractButton* button : m_group) {
        // With none checked, the group is entered at its first button.
        const bool stop = anyChecked ? button->isChecked() : button == m_group.first();
        const Qt::FocusPolicy policy = button->focusPolicy();
        button->setFocusPolicy(stop ? Qt::FocusPolicy(policy | Qt::TabFocus)
                                    : Qt::FocusPolicy(policy & ~Qt::TabFocus));
    }
}
