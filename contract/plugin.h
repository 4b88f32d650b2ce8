/* navplugin/plugin.h: the plugin contract. A host includes this one header;
 * it brings in the records (gps_record.h) and the host services
 * (host_services.h).
 *
 * Loading. The host loads the plugin library (LoadLibrary, dlopen) and
 * resolves its only export, pluginPreInitMethod (PLUGIN_ENTRY_NAME), which
 * returns the plugin's descriptor. Everything else goes through the
 * descriptor's entries.
 *
 * Lifecycle, in this order:
 *
 *     pluginPreInitMethod        any number of times
 *     init(context)              once; 1 success, 0 failure
 *       start()                  1 success, 0 failure
 *         data entries           any number of times
 *       stop()                   always 1
 *       (start ... stop may repeat)
 *     deInit()                   always 1, also after a failed init or start
 *     (init ... deInit may repeat while the library stays loaded)
 *     unload the library
 *
 * PluginDeInit must have returned before the library is unloaded: until
 * then a provider's reader thread runs code of the library, and unloading
 * under it crashes the host. After PluginDeInit the plugin runs no code of
 * its own, holds no thread, handle or open file, and keeps no pointer into
 * the host's memory.
 *
 * Data entries before start (or before init) hand nothing out: a provider's
 * return 0 and write nothing, a recorder's ignores the record. After stop a
 * recorder ignores records again; a provider keeps handing out new data
 * until deInit.
 *
 * Threads. The host calls every entry from its own thread, one call at a
 * time, never two at once; the entries return without waiting on any
 * thread of the plugin. A recorder does all its work on that thread. A
 * provider reads its device on a thread of its own, started by start and
 * ended (and joined) by deInit; the host's polls never wait for it.
 *
 * Ownership. The descriptor, its strings and the library's records are
 * static storage of the plugin: valid while the library stays loaded,
 * read-only for the host, never freed by it. Records passed to data
 * entries belong to the caller and are used during the call only. The
 * host's context, its service table and the strings GetSetting returns
 * belong to the host and must stay valid until deInit has returned
 * (host_services.h). */
#ifndef CONTRACT_PLUGIN_H
#define CONTRACT_PLUGIN_H

#include "base.h"
#include "gps_record.h"
#include "host_services.h"

/* Descriptor slot 8. Called first, with the host's context for this plugin
 * (never null, valid until deInit has returned). The plugin takes the
 * settings services it needs from the context's table and exchanges its
 * settings, calling GetSetting and SetSetting during this call only.
 * Returns 1 on success; 0 when the plugin cannot work (a provider without
 * its device library, say), and the host then calls deInit and no other
 * entry. */
typedef int32_t(PLUGIN_CALL* PluginInitFn)(HostContext* context);

/* Descriptor slot 9. Releases everything the plugin holds: a recorder
 * completes and closes its open file, a provider ends and joins its reader
 * thread and releases its device. Always returns 1. Any argument the host
 * passes is ignored. Must be called before the library is unloaded. */
typedef int32_t(PLUGIN_CALL* PluginDeInitFn)(void);

/* Descriptor slot 10. Starts the plugin's work: a recorder begins a
 * recording period, a provider opens its device and starts its reader
 * thread. Returns 1 on success (also when already started), 0 on failure;
 * a provider whose start failed has released what it held. */
typedef int32_t(PLUGIN_CALL* PluginStartFn)(void);

/* Descriptor slot 11. A recorder ends its recording period and completes
 * its file; a provider changes nothing (its device keeps running until
 * deInit). Always returns 1; a stop without a start does nothing. */
typedef int32_t(PLUGIN_CALL* PluginStopFn)(void);

/* Descriptor slot 14 of a recorder. Delivers one position, read during
 * the call only (the record stays the caller's). Positions with fixStatus
 * 0, and every position outside start ... stop, are ignored. No result. */
typedef void(PLUGIN_CALL* PluginSetGPSDataFn)(const GpsRecord* record);

/* Descriptor slot 14 of a provider. Polled by the host. Returns 1 when a
 * position newer than the last one handed out was copied into the caller's
 * record (each position is handed out once); else 0, and the record is
 * untouched. Never waits on the reader thread. */
typedef int32_t(PLUGIN_CALL* PluginGetPositionFn)(GpsRecord* record);

/* Descriptor slot 15 of a provider. Returns 1 when a satellite set newer
 * than the last one handed out was copied: *count receives the number of
 * records (0 to SATELLITE_TABLE_SIZE) and the array that many; else 0 and
 * nothing is written. The caller's array must have room for
 * SATELLITE_TABLE_SIZE records. */
typedef int32_t(PLUGIN_CALL* PluginGetSatellitesFn)(SatelliteRecord* satellites, int32_t* count);

/* Descriptor slots 12 and 13: not provided, always null. */
typedef void(PLUGIN_CALL* PluginUnusedFn)(void);

/* Values of PluginDescriptor::kind. */
#define PLUGIN_KIND_RECEIVES_GPS 4  /* a recorder: slot 14 is setGPSData */
#define PLUGIN_KIND_SUPPLIES_GPS 16 /* a provider: slots 14 and 15 hand data out */

#define PLUGIN_INTERFACE_VERSION 3000

/* Sixteen 32-bit slots (64 bytes on the 32-bit targets), static in the
 * plugin, read-only for the host. */
typedef struct PluginDescriptor PluginDescriptor;
struct PluginDescriptor {
    int32_t interfaceVersion;   /* slot 0: PLUGIN_INTERFACE_VERSION */
    int32_t reserved1;          /* slot 1: -1 */
    int32_t kind;               /* slot 2: a PLUGIN_KIND_* value */
    int32_t number;             /* slot 3: the plugin's number (1000 recorder, 1001 provider) */
    const WideChar* name;       /* slot 4: plugin name, plugin-owned */
    const WideChar* maker;      /* slot 5: maker, plugin-owned */
    const WideChar* makerAgain; /* slot 6: the same string object as slot 5 */
    int32_t reserved7;          /* slot 7: 0 */
    PluginInitFn init;          /* slot 8 */
    PluginDeInitFn deInit;      /* slot 9 */
    PluginStartFn start;        /* slot 10 */
    PluginStopFn stop;          /* slot 11 */
    PluginUnusedFn unused12;    /* slot 12: null */
    PluginUnusedFn unused13;    /* slot 13: null */
    union {                     /* slot 14: depends on kind */
        PluginSetGPSDataFn setGPSData;
        PluginGetPositionFn getPosition;
    } gpsData;
    PluginGetSatellitesFn getSatellites; /* slot 15: provider only, else null */
};

/* The library's only export. No arguments; fills the descriptor afresh and
 * returns its address, the same every time; no other effect. A host may
 * call it any number of times while the library is loaded. A plugin
 * defines it as
 *
 *     PLUGIN_EXPORT PluginDescriptor* PLUGIN_CALL pluginPreInitMethod(void)
 */
typedef PluginDescriptor*(PLUGIN_CALL* PluginPreInitFn)(void);
#define PLUGIN_ENTRY_NAME "pluginPreInitMethod"

#if CONTRACT_32BIT
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

#endif
