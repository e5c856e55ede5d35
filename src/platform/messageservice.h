#pragma once

#include <QString>

class QWidget;

// Message boxes, reached through this interface so that tests can answer them.
class MessageService
{
public:
    virtual ~MessageService() = default;

    // Tells the user that something went wrong; returns once it was acknowledged.
    virtual void showError(QWidget* parent, const QString& title, const QString& text) = 0;
    // Asks with OK and Cancel, OK the default, no icon. True for OK.
    virtual bool askOkCancel(QWidget* parent, const QString& title, const QString& text) = 0;
};
