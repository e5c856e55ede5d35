#pragma once

#include "transfer/sendpacing.h"

class SettingsStore;

// The send options as the settings store keeps them, in section "CommSet": "CharDelay" and
// "LineDelay" (milliseconds), "WaitFor" (the text; absent or empty for none) and "WaitTimeout"
// (seconds). Values that make no sense read as the defaults.
namespace SendOptionsStore {

SendPacing load(const SettingsStore& store);
void save(SettingsStore& store, const SendPacing& pacing);

} // namespace SendOptionsStore
