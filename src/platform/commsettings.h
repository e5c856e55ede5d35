#pragma once

#include "platform/linesettings.h"

#include <QString>

class PortMap;
class SettingsStore;

// The port choice as the per-user settings store keeps it, under application "PLOV",
// section "CommSet": "Port" ("1" or "2"), "Baud" (the line settings string) and "Device1",
// "Device2" (the device each port number stands for; absent means the platform's own), and
// "Flow1", "Flow2" (each port's flow control: "none", "rtscts" or "xonxoff"; absent means none).
// Values a user or another program left there that the port cannot use read as the
// defaults, so a start always succeeds.
namespace CommSettings {

inline const QString application = QStringLiteral("PLOV");
inline const QString section = QStringLiteral("CommSet");
inline constexpr int defaultPort = 2;
inline const QString defaultBaud = QStringLiteral("9600,N,8,1");

// The stored port number, or the default unless the text is 1 or 2.
int storedPort(const SettingsStore& store);
// The stored line settings, or the default when the port would refuse them.
QString storedBaud(const SettingsStore& store);
// Puts the stored device of each port number into `ports`.
void loadDevices(const SettingsStore& store, PortMap* ports);

// The stored flow control of port number `port`, or none unless it names one.
LineSettings::Flow storedFlow(const SettingsStore& store, int port);

void savePort(SettingsStore& store, int port);
void saveFlow(SettingsStore& store, int port, LineSettings::Flow flow);
void saveBaud(SettingsStore& store, const QString& settings);
// The devices `ports` has stored; what it maps for this run only is left out.
void saveDevices(SettingsStore& store, const PortMap& ports);

} // namespace CommSettings
