/* Our plugins' own helper, not part of the SDK: the host's settings
 * services as a plugin holds them, and the read-or-seed exchange of one
 * setting that both plugins use for each of their keys. */
#ifndef INTERNAL_SETTINGS_H
#define INTERNAL_SETTINGS_H

#include "../contract/plugin.h"

/* The two service entries a plugin has taken; null while not held. */
struct HostEntries {
    GetSettingFn getSetting;
    SetSettingFn setSetting;
};

/* Takes entries 4 and 5 from the context's service table where the table
 * is present and large enough; an entry the table lacks keeps what an
 * earlier call took. */
void takeHostEntries(HostEntries* held, const HostContext* context);

/* Reads KEY. Returns the host's string when the host has a value (the
 * caller adopts it, the string stays the host's); otherwise seeds the host's
 * store with SEED where SetSetting is held, and returns null. */
const WideChar* readOrSeedSetting(const HostEntries* held, HostContext* context,
                                  const WideChar* key, const WideChar* seed);

#endif
