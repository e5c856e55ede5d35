#include "main_window/commsettings.h"

#include "platform/serialport.h"
#include "platform/settingsstore.h"

namespace CommSettings {

namespace {

const QString portKey = QStringLiteral("Port");
const QString baudKey = QStringLiteral("Baud");

QString deviceKey(int port)
{
    return QStringLiteral("Device%1").arg(port);
}

} // namespace

int storedPort(const SettingsStore& store)
{
    bool ok = false;
    const int port =
        store.GetSetting(section, portKey, QString::number(defaultPort)).trimmed().toShort(&ok);
    return ok && (port == 1 || port == 2) ? port : defaultPort;
}

QString storedBaud(const SettingsStore& store)
{
    const QString settings = store.GetSetting(section, baudKey, defaultBaud);
    // Whatever the port accepts is longer than the ",N,8,1" part the restore cuts off.
    return SerialPort::parseSettings(settings, nullptr, nullptr) ? settings : defaultBaud;
}

QMap<int, QString> storedDevices(const SettingsStore& store)
{
    QMap<int, QString> devices;
    for (int port : {1, 2}) {
        const QString device = store.GetSetting(section, deviceKey(port), QString()).trimmed();
        if (!device.isEmpty())
            devices.insert(port, device);
    }
    return devices;
}

void savePort(SettingsStore& store, int port)
{
    store.SaveSetting(section, portKey, QString::number(port));
}

void saveBaud(SettingsStore& store, const QString& settings)
{
    store.SaveSetting(section, baudKey, settings);
}

void saveDevices(SettingsStore& store, const QMap<int, QString>& devices)
{
    for (int port : {1, 2}) {
        if (devices.contains(port))
            store.SaveSetting(section, deviceKey(port), devices.value(port));
        else
            store.DeleteSetting(section, deviceKey(port));
    }
}

} // namespace CommSettings
