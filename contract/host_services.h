/* navplugin/host_services.h: what the host offers a plugin during
 * PluginInit: its context and its settings services. Host-owned records;
 * a plugin reads only the fields named here. */
#ifndef CONTRACT_HOST_SERVICES_H
#define CONTRACT_HOST_SERVICES_H

#include "base.h"

typedef struct HostContext HostContext;
typedef struct HostServices HostServices;

/* Service entry 4. Called by a plugin during its PluginInit, on the thread
 * that called PluginInit, to read the setting KEY (a plugin-owned string,
 * valid during the call only). Before the call the plugin sets *value to
 * null. Only the low byte of the result counts: non-zero when the key has a
 * value, and *value then designates a host-owned, zero-terminated string.
 * That string must stay valid and unchanged until the plugin's PluginDeInit
 * has returned: a plugin may keep referring to it (and hand it back as a
 * seed at a later PluginInit) rather than copy it. Zero: no value, and
 * *value means nothing. */
typedef uint8_t(PLUGIN_CALL* GetSettingFn)(HostContext* context, const WideChar* key,
                                           const WideChar** value);

/* Service entry 5. Called by a plugin during its PluginInit, on that
 * thread, to store VALUE under KEY (both plugin-owned, valid during the call
 * only: the host copies what it keeps). A plugin calls it to seed its
 * default for a key that GetSetting did not find. Its result is ignored. */
typedef void(PLUGIN_CALL* SetSettingFn)(HostContext* context, const WideChar* key,
                                        const WideChar* value);

/* An entry of the host's service table, of any shape; a plugin casts the
 * entries it uses to their own types above. */
typedef void(PLUGIN_CALL* HostServiceEntry)(void);

/* Indexes into HostServices::entries. A plugin takes an entry only when the
 * table is not null and entryCount is greater than the index; an entry a
 * later PluginInit's table lacks keeps what an earlier PluginInit took. */
#define HOST_SERVICE_GET_SETTING 4
#define HOST_SERVICE_SET_SETTING 5

/* The host's service table. Host-owned; it must stay valid until the
 * plugin's PluginDeInit has returned. Plugins read entries and entryCount
 * only. */
struct HostServices {
    uint8_t opaque[16];
    HostServiceEntry* entries; /* the host's service table, or null */
    int32_t entryCount;        /* number of entries, signed; <= 0 means none */
};

/* The host's context for one plugin. Host-owned and otherwise opaque: the
 * plugin passes it back unchanged as the first argument of every service
 * call, and reads only services. It must stay valid until the plugin's
 * PluginDeInit has returned. */
struct HostContext {
    uint8_t opaque[28];
    HostServices* services; /* never null: the plugins read through it untested */
};

#if CONTRACT_32BIT
CONTRACT_STATIC_ASSERT(sizeof(HostContext) == 32, host_context_size);
CONTRACT_STATIC_ASSERT(offsetof(HostContext, services) == 28, host_context_services);
CONTRACT_STATIC_ASSERT(offsetof(HostServices, entries) == 16, host_services_entries);
CONTRACT_STATIC_ASSERT(offsetof(HostServices, entryCount) == 20, host_services_count);
#endif

#endif
