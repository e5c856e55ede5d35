#pragma once

#include "platform/messageservice.h"

class QtMessageService final : public MessageService
{
public:
    void showError(QWidget* parent, const QString& title, const QString& text) override;
    bool askOkCancel(QWidget* parent, const QString& title, const QString& text) override;
};
