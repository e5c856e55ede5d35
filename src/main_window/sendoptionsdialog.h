#pragma once

#include "transfer/sendpacing.h"

#include <QDialog>

class QDoubleSpinBox;
class QLineEdit;
class QSpinBox;

// "Send options": the pause after each character, the pause after each line and the text to
// wait for after each line, with how long to wait, for devices that read slower than the line
// delivers and have no flow control.
class SendOptionsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SendOptionsDialog(const SendPacing& pacing, QWidget* parent = nullptr);

    SendPacing pacing() const;

private:
    QSpinBox* m_charDelay = nullptr;
    QSpinBox* m_lineDelay = nullptr;
    QLineEdit* m_waitFor = nullptr;
    QDoubleSpinBox* m_waitTimeout = nullptr;
};
