#include "main_window/devicedialog.h"

#include "platform/portmap.h"
#include "platform/serialportlist.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// Where an entry keeps the name a "Use for" button takes.
constexpr int chosenNameRole = Qt::UserRole;

} // namespace

DeviceDialog::DeviceDialog(const DeviceChooser::Devices& devices, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("DeviceDialog"));
    setWindowTitle(tr("Serial devices"));
    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("deviceList"));
    m_list->setHeaderLabels({tr("Device"), tr("Description"), tr("Manufacturer"),
                             tr("Serial number"), tr("Stable name")});
    m_list->setRootIsDecorated(false);
    m_list->setMinimumSize(560, 160);
    m_empty = new QLabel(tr("No serial device is present. A device not listed here (a "
                            "pseudo-terminal, say) can be typed in below."),
                         this);
    m_empty->setWordWrap(true);
    auto* refreshButton = new QPushButton(tr("&Refresh"), this);
    refreshButton->setObjectName(QStringLiteral("refresh"));
    connect(refreshButton, &QPushButton::clicked, this, &DeviceDialog::refresh);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("The device each port number stands for. Pick one present "
                                    "and press \"Use for\", or type any path."),
                                 this));
    layout->addWidget(m_list);
    layout->addWidget(m_empty);
    layout->addWidget(refreshButton, 0, Qt::AlignLeft);
    layout->addWidget(createPortFields());
    layout->addWidget(buttons);
    for (std::size_t i = 0; i < m_fields.size(); ++i)
        m_fields[i]->setText(devices[i]);
    refresh();
}

QWidget* DeviceDialog::createPortFields()
{
    auto* fields = new QWidget(this);
    auto* grid = new QGridLayout(fields);
    grid->setContentsMargins(0, 0, 0, 0);
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        const int port = PortMap::firstPort + int(i);
        auto* field = new QLineEdit(fields);
        field->setObjectName(QStringLiteral("device%1").arg(port));
        field->setPlaceholderText(PortMap::platformDevice(port));
        field->setClearButtonEnabled(true);
        auto* label = new QLabel(PortMap::portName(port) + QLatin1Char(':'), fields);
        label->setBuddy(field);
        auto* use = new QPushButton(tr("Use for %1").arg(PortMap::portName(port)), fields);
        use->setObjectName(QStringLiteral("useFor%1").arg(port));
        connect(use, &QPushButton::clicked, this, [this, i] { useSelected(i); });
        grid->addWidget(label, int(i), 0);
        grid->addWidget(field, int(i), 1);
        grid->addWidget(use, int(i), 2);
        m_fields[i] = field;
        m_useButtons[i] = use;
    }
    return fields;
}

void DeviceDialog::refresh()
{
    m_list->clear();
    for (const SerialPortList::Entry& entry : SerialPortList::available()) {
        auto* item = new QTreeWidgetItem(m_list, {entry.path, entry.description, entry.manufacturer,
                                                  entry.serialNumber, entry.stablePath});
        item->setData(0, chosenNameRole,
                      entry.stablePath.isEmpty() ? entry.path : entry.stablePath);
    }
    for (int column = 0; column < m_list->columnCount(); ++column)
        m_list->resizeColumnToContents(column);
    const bool any = m_list->topLevelItemCount() > 0;
    m_empty->setVisible(!any);
    if (any)
        m_list->setCurrentItem(m_list->topLevelItem(0));
    for (QPushButton* use : m_useButtons)
        use->setEnabled(any);
}

void DeviceDialog::useSelected(std::size_t index)
{
    if (const QTreeWidgetItem* item = m_list->currentItem())
        m_fields[index]->setText(item->data(0, chosenNameRole).toString());
}

DeviceChooser::Devices DeviceDialog::devices() const
{
    DeviceChooser::Devices chosen;
    for (std::size_t i = 0; i < m_fields.size(); ++i)
        chosen[i] = m_fields[i]->text().trimmed();
    return chosen;
}
