#include "platform/commsettings.h"

#include "platform/linesettings.h"
#include "platform/portmap.h"
#include "platform/settingsstore.h"

namespace CommSettings {

namespace {

const QString portKey = QStringLiteral("Port");
const QString baudKey = QStringLiteral("Baud");

QString deviceKey(int port)
{
    return QStringLiteral("Device%1").arg(port);
}

QString flowKey(int port)
{
    return QStringLiteral("Flow%1").arg(port);
}

} // namespace

int storedPort(const SettingsStore& store)
{
    bool ok = false;
    const int port =
        store.GetSetting(section, portKey, QString::number(defaultPort)).trimmed().toShort(&ok);
    return ok && PortMap::isPort(port) ? port : defaultPort;
}

QString storedBaud(const SettingsStore& store)
{
    const QString settings = store.GetSetting(section, baudKey, defaultBaud);
    // Whatever the port accepts is longer than the ",N,8,1" part the restore cuts off.
    return LineSettings::parse(settings) ? settings : defaultBaud;
}

void loadDevices(const SettingsStore& store, PortMap* ports)
{
    for (int port = PortMap::firstPort; port <= PortMap::lastPort; ++port)
        ports->setStored(port, store.GetSetting(section, deviceKey(port), QString()));
}

LineSettings::Flow storedFlow(const SettingsStore& store, int port)
{
    const QString name = store.GetSetting(section, flowKey(port), QString()).trimmed();
    return LineSettings::flowNamed(name).value_or(LineSettings::Flow::None);
}

void saveFlow(SettingsStore& store, int port, LineSettings::Flow flow)
{
    store.SaveSetting(section, flowKey(port), LineSettings::flowName(flow));
}

void savePort(SettingsStore& store, int port)
{
    store.SaveSetting(section, portKey, QString::number(port));
}

void saveBaud(SettingsStore& store, const QString& settings)
{
    store.SaveSetting(section, baudKey, settings);
}

void saveDevices(SettingsStore& store, const PortMap& ports)
{
    for (int port = PortMap::firstPort; port <= PortMap::lastPort; ++port) {
        const QString device = ports.stored(port);
        if (device.isEmpty())
            store.DeleteSetting(section, deviceKey(port));
        else
            store.SaveSetting(section, deviceKey(port), device);
    }
}

} // namespace CommSettings
