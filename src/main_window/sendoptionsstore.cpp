#include "main_window/sendoptionsstore.h"

#include "platform/commsettings.h"
#include "platform/settingsstore.h"

#include <cmath>

namespace SendOptionsStore {

namespace {

const QString charDelayKey = QStringLiteral("CharDelay");
const QString lineDelayKey = QStringLiteral("LineDelay");
const QString waitForKey = QStringLiteral("WaitFor");
const QString waitTimeoutKey = QStringLiteral("WaitTimeout");
constexpr double weekSeconds = 7 * 24 * 3600;

qint64 storedMs(const SettingsStore& store, const QString& key, qint64 fallback)
{
    bool ok = false;
    const qint64 ms = store.GetSetting(CommSettings::section, key, QString()).toLongLong(&ok);
    return ok && ms >= 0 && ms <= qint64(weekSeconds * 1000) ? ms : fallback;
}

} // namespace

SendPacing load(const SettingsStore& store)
{
    SendPacing pacing;
    pacing.charDelayMs = storedMs(store, charDelayKey, 0);
    pacing.lineDelayMs = storedMs(store, lineDelayKey, 0);
    pacing.waitFor = store.GetSetting(CommSettings::section, waitForKey, QString()).toUtf8();
    bool ok = false;
    const double seconds =
        store.GetSetting(CommSettings::section, waitTimeoutKey, QString()).toDouble(&ok);
    if (ok && seconds > 0 && seconds <= weekSeconds)
        pacing.waitTimeoutMs = std::max<qint64>(1, std::llround(seconds * 1000));
    return pacing;
}

void save(SettingsStore& store, const SendPacing& pacing)
{
    store.SaveSetting(CommSettings::section, charDelayKey, QString::number(pacing.charDelayMs));
    store.SaveSetting(CommSettings::section, lineDelayKey, QString::number(pacing.lineDelayMs));
    store.SaveSetting(CommSettings::section, waitForKey, QString::fromUtf8(pacing.waitFor));
    store.SaveSetting(CommSettings::section, waitTimeoutKey,
                      QString::number(double(pacing.waitTimeoutMs) / 1000));
}

} // namespace SendOptionsStore
