#include "main_window/sendoptionsdialog.h"

#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

SendOptionsDialog::SendOptionsDialog(const SendPacing& pacing, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Send options"));
    setObjectName(QStringLiteral("sendOptions"));
    const auto delayBox = [this](const QString& name, qint64 ms) {
        auto* box = new QSpinBox(this);
        box->setObjectName(name);
        // A week, as on the command line: any pause a device could need.
        box->setRange(0, 7 * 24 * 3600 * 1000);
        box->setSuffix(tr(" ms"));
        box->setValue(int(ms));
        return box;
    };
    m_charDelay = delayBox(QStringLiteral("charDelay"), pacing.charDelayMs);
    m_lineDelay = delayBox(QStringLiteral("lineDelay"), pacing.lineDelayMs);
    m_waitFor = new QLineEdit(QString::fromUtf8(pacing.waitFor), this);
    m_waitFor->setObjectName(QStringLiteral("waitFor"));
    m_waitFor->setPlaceholderText(tr("nothing: go on at once"));
    m_waitTimeout = new QDoubleSpinBox(this);
    m_waitTimeout->setObjectName(QStringLiteral("waitTimeout"));
    m_waitTimeout->setRange(0.1, 7 * 24 * 3600);
    m_waitTimeout->setDecimals(1);
    m_waitTimeout->setSuffix(tr(" s"));
    m_waitTimeout->setValue(double(pacing.waitTimeoutMs) / 1000);

    auto* form = new QFormLayout;
    form->addRow(tr("Pause after each &character:"), m_charDelay);
    form->addRow(tr("Pause after each &line:"), m_lineDelay);
    form->addRow(tr("After each line &wait for:"), m_waitFor);
    form->addRow(tr("&Give up waiting after:"), m_waitTimeout);
    auto* note = new QLabel(tr("For devices that read slower than the line delivers and have no "
                               "flow control. Line endings are sent as they are in the file."),
                            this);
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(note);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

SendPacing SendOptionsDialog::pacing() const
{
    SendPacing pacing;
    pacing.charDelayMs = m_charDelay->value();
    pacing.lineDelayMs = m_lineDelay->value();
    pacing.waitFor = m_waitFor->text().toUtf8();
    pacing.waitTimeoutMs = std::llround(m_waitTimeout->value() * 1000);
    return pacing;
}
