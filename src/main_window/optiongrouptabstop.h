#pragma once

#include <QList>
#include <QObject>

class QAbstractButton;

// Tab enters a group of option buttons at its selected button, and leaves it with the next Tab;
// the arrow keys move within the group. Only the checked button of the group takes Tab focus.
class OptionGroupTabStop : public QObject
{
    Q_OBJECT

public:
    explicit OptionGroupTabStop(QList<QAbstractButton*> group, QObject* parent = nullptr);

private:
    void follow();

    QList<QAbstractButton*> m_group;
};
