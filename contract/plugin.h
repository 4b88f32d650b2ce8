/* The plugin side of the host contract: the one exported entry, the
 * descriptor it returns, the lifecycle entries behind it, and the host's
 * settings services. Both deliverables are 32-bit: every slot and table
 * entry is 4 bytes wide there, and the layouts are checked on such targets. */
#ifndef CONTRACT_PLUGIN_H
#define CONTRACT_PLUGIN_H

#include "base.h"
#include "gps_record.h"

struct HostContext;

/* Host service entry 4: reads the setting KEY. Only the low byte of the
 * result counts; when it is non-zero *value designates a host-owned string
 * whose lifetime the host alone decides. */
typedef uint8_t(PLUGIN_CALL* GetSettingFn)(HostContext* context, const WideChar* key,
                                           const WideChar** value);
/* Host service entry 5: stores VALUE under KEY. Its result is ignored. */
typedef void(PLUGIN_CALL* SetSettingFn)(HostContext* context, const WideChar* key,
                                        const WideChar* value);
/* An entry of the host's service table, of any shape. */
typedef void(PLUGIN_CALL* HostServiceEntry)(void);

#define HOST_SERVICE_GET_SETTING 4
#define HOST_SERVICE_SET_SETTING 5

/* Host-owned; the plugins read the table and its size only. */
struct HostServices {
    uint8_t opaque[16];
    HostServiceEntry* entries; /* the host's service table, or null */
    int32_t entryCount;        /* number of entries, signed */
};

/* Host-owned and otherwise opaque; passed back unchanged as the first
 * argument of every service call. */
struct HostContext {
    uint8_t opaque[28];
    HostServices* services; /* never null: the host always supplies it */
};

/* Lifecycle entries: 1 for success, 0 for failure. */
typedef int32_t(PLUGIN_CALL* PluginInitFn)(HostContext* context);
typedef int32_t(PLUGIN_CALL* PluginDeInitFn)(void); /* ignores any argument */
typedef int32_t(PLUGIN_CALL* PluginStartFn)(void);
typedef int32_t(PLUGIN_CALL* PluginStopFn)(void);
/* Slot 14 of a recorder: one position in, no result. */
typedef void(PLUGIN_CALL* PluginSetGPSDataFn)(const GpsRecord* record);
/* Slot 14 of a provider: 1 when a new position was copied out, else 0 and
 * the record untouched. */
typedef int32_t(PLUGIN_CALL* PluginGetPositionFn)(GpsRecord* record);
/* Slot 15 of a provider: 1 when a new set was copied out (count receives
 * its size; the array needs room for SATELLITE_TABLE_SIZE), else 0 and
 * nothing written. */
typedef int32_t(PLUGIN_CALL* PluginGetSatellitesFn)(SatelliteRecord* satellites, int32_t* count);
/* Slots 12 and 13: not provided, always null. */
typedef void(PLUGIN_CALL* PluginUnusedFn)(void);

/* Values of PluginDescriptor::kind. */
#define PLUGIN_KIND_RECEIVES_GPS 4
#define PLUGIN_KIND_SUPPLIES_GPS 16

/* Sixteen 32-bit slots, static in the plugin, read-only for the host. */
struct PluginDescriptor {
    int32_t interfaceVersion;   /* slot 0: 3000 */
    int32_t reserved1;          /* slot 1: -1 */
    int32_t kind;               /* slot 2: a PLUGIN_KIND_* value */
    int32_t number;             /* slot 3: 1000 recorder, 1001 provider */
    const WideChar* name;       /* slot 4: plugin name */
    const WideChar* maker;      /* slot 5: maker */
    const WideChar* makerAgain; /* slot 6: the same string object as slot 5 */
    int32_t reserved7;          /* slot 7: 0 */
    PluginInitFn init;          /* slot 8 */
    PluginDeInitFn deInit;      /* slot 9 */
    PluginStartFn start;        /* slot 10 */
    PluginStopFn stop;          /* slot 11 */
    PluginUnusedFn unused12;    /* slot 12: null */
    PluginUnusedFn unused13;    /* slot 13: null */
    union {                     /* slot 14: depends on the plugin's kind */
        PluginSetGPSDataFn setGPSData;
        PluginGetPositionFn getPosition;
    } gpsData;
    PluginGetSatellitesFn getSatellites; /* slot 15: provider only, else null */
};

/* The library's only export: fills the descriptor afresh and returns it. */
typedef PluginDescriptor*(PLUGIN_CALL* PluginPreInitFn)(void);
#define PLUGIN_ENTRY_NAME "pluginPreInitMethod"

#define PLUGIN_INTERFACE_VERSION 3000

#if CONTRACT_32BIT
CONTRACT_STATIC_ASSERT(sizeof(HostContext) == 32, host_context_size);
CONTRACT_STATIC_ASSERT(offsetof(HostContext, services) == 28, host_context_services);
CONTRACT_STATIC_ASSERT(offsetof(HostServices, entries) == 16, host_services_entries);
CONTRACT_STATIC_ASSERT(offsetof(HostServices, entryCount) == 20, host_services_count);
CONTRACT_STATIC_ASSERT(sizeof(PluginDescriptor) == 64, descriptor_size);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, interfaceVersion) == 0, slot0);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, reserved1) == 4, slot1);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, kind) == 8, slot2);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, number) == 12, slot3);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, name) == 16, slot4);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, maker) == 20, slot5);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, makerAgain) == 24, slot6);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, reserved7) == 28, slot7);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, init) == 32, slot8);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, deInit) == 36, slot9);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, start) == 40, slot10);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, stop) == 44, slot11);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, unused12) == 48, slot12);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, unused13) == 52, slot13);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, gpsData) == 56, slot14);
CONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, getSatellites) == 60, slot15);
#endif

/* Declares the export with C linkage, undecorated, visible outside a
 * Linux shared library (the Windows builds export it through a .def file). */
#if defined(_WIN32)
#define PLUGIN_EXPORT extern "C"
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#endif
