#include "settings.h"

void takeHostEntries(HostEntries* held, const HostContext* context) {
    const HostServices* services = context->services;
    HostServiceEntry* table = services->entries;
    int32_t count = services->entryCount;
    if (table == 0)
        return;
    if (count > HOST_SERVICE_GET_SETTING)
        held->getSetting = reinterpret_cast<GetSettingFn>(table[HOST_SERVICE_GET_SETTING]);
    if (count > HOST_SERVICE_SET_SETTING)
        held->setSetting = reinterpret_cast<SetSettingFn>(table[HOST_SERVICE_SET_SETTING]);
}

const WideChar* readOrSeedSetting(const HostEntries* held, HostContext* context,
                                  const WideChar* key, const WideChar* seed) {
    if (held->getSetting != 0) {
        const WideChar* value = 0;
        /* Only the low byte of the host's boolean counts. */
        if (held->getSetting(context, key, &value) != 0 && value != 0)
            return value;
    }
    if (held->setSetting != 0)
        held->setSetting(context, key, seed);
    return 0;
}
