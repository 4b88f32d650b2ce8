/* A minimal host in C: loads one plugin library, gives it a settings store
 * through the host services, and drives it through its whole lifecycle.
 *
 *     c_host PLUGIN [KEY=VALUE ...]
 *
 * KEY=VALUE pairs fill the settings store before PluginInit. A recorder
 * (kind 4) is started and handed ten positions with a fix; a provider
 * (kind 16) is started and polled for up to ten seconds or until ten
 * positions came, each printed. Then stop, deInit, and the store as the
 * plugin left it. Exit codes: 0 done, 1 usage, 2 not loadable, 3 no entry,
 * 4 unknown kind, 5 PluginInit failed, 6 PluginStart failed. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200112L
#endif
#include <navplugin/plugin.h>

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#define sleepMs(ms) Sleep(ms)
#else
#include <dlfcn.h>
#include <time.h>
static void sleepMs(long ms) {
    struct timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&t, NULL);
}
#endif

/* ---- The settings store: fixed slots, host-owned strings ---- */

#define MAX_SETTINGS 16
#define MAX_TEXT 260

typedef struct Setting {
    WideChar key[MAX_TEXT];
    WideChar value[MAX_TEXT];
} Setting;

/* A plugin may keep pointing at a value it read until its PluginDeInit, so
 * a stored value is never overwritten while the plugin is initialised:
 * SetSetting only adds keys (a plugin seeds missing keys only). */
static Setting settings[MAX_SETTINGS];
static int settingCount;

static void wideFromAscii(WideChar* out, const char* in) {
    size_t i = 0;
    for (; in[i] != 0 && i + 1 < MAX_TEXT; ++i)
        out[i] = (WideChar)(unsigned char)in[i];
    out[i] = 0;
}

static void wideCopy(WideChar* out, const WideChar* in) {
    size_t i = 0;
    for (; in[i] != 0 && i + 1 < MAX_TEXT; ++i)
        out[i] = in[i];
    out[i] = 0;
}

static int wideEqual(const WideChar* a, const WideChar* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static void printWide(const WideChar* s) {
    for (; *s != 0; ++s)
        putchar(*s < 128 ? (int)*s : '?');
}

static Setting* findSetting(const WideChar* key) {
    int i;
    for (i = 0; i < settingCount; ++i)
        if (wideEqual(settings[i].key, key))
            return &settings[i];
    return NULL;
}

static void addSetting(const WideChar* key, const WideChar* value) {
    if (findSetting(key) != NULL || settingCount == MAX_SETTINGS)
        return;
    wideCopy(settings[settingCount].key, key);
    wideCopy(settings[settingCount].value, value);
    ++settingCount;
}

/* ---- The host services: entries 4 and 5 of a table of 6 ---- */

static uint8_t PLUGIN_CALL getSetting(HostContext* context, const WideChar* key,
                                      const WideChar** value) {
    const Setting* s = findSetting(key);
    (void)context;
    if (s == NULL)
        return 0;
    *value = s->value;
    return 1;
}

static void PLUGIN_CALL setSetting(HostContext* context, const WideChar* key,
                                   const WideChar* value) {
    (void)context;
    addSetting(key, value);
}

static void PLUGIN_CALL notOffered(void) {}

static HostServiceEntry serviceTable[6];
static HostServices services;
static HostContext context;

static void setUpServices(void) {
    int i;
    for (i = 0; i < 6; ++i)
        serviceTable[i] = notOffered;
    serviceTable[HOST_SERVICE_GET_SETTING] = (HostServiceEntry)getSetting;
    serviceTable[HOST_SERVICE_SET_SETTING] = (HostServiceEntry)setSetting;
    services.entries = serviceTable;
    services.entryCount = 6;
    context.services = &services;
}

/* ---- Driving the plugin ---- */

static void driveRecorder(const PluginDescriptor* d) {
    GpsRecord r;
    int i;
    for (i = 0; i < 10; ++i) {
        memset(&r, 0, sizeof r);
        r.latitude = 51.5f + 0.0001f * (float)i;
        r.longitude = -0.12f + 0.0002f * (float)i;
        r.altitude = 12.5f;
        r.speed = 9.26f;
        r.hdop = 1.2f;
        r.year = 2010;
        r.month = 5;
        r.day = 20;
        r.hour = 14;
        r.minute = 3;
        r.second = (uint8_t)(7 + i);
        r.fixStatus = FIX_3D;
        d->gpsData.setGPSData(&r);
    }
    printf("delivered 10 positions\n");
}

static void driveProvider(const PluginDescriptor* d) {
    SatelliteRecord satellites[SATELLITE_TABLE_SIZE];
    int32_t count = 0;
    int positions = 0, polls;
    for (polls = 0; polls < 1000 && positions < 10; ++polls) {
        GpsRecord r;
        memset(&r, 0, sizeof r);
        if (d->gpsData.getPosition(&r) == 1) {
            ++positions;
            printf("position %d: %.6f %.6f fix %d\n", positions, r.latitude, r.longitude,
                   r.fixStatus);
        }
        if (d->getSatellites != NULL && d->getSatellites(satellites, &count) == 1)
            printf("satellites in view: %ld\n", (long)count);
        sleepMs(10);
    }
    printf("received %d positions\n", positions);
}

int main(int argc, char** argv) {
    PluginPreInitFn entry;
    const PluginDescriptor* d;
    int i, code = 0;
#if defined(_WIN32)
    HMODULE library;
#else
    void* library;
#endif
    if (argc < 2) {
        fprintf(stderr, "usage: c_host PLUGIN [KEY=VALUE ...]\n");
        return 1;
    }
    for (i = 2; i < argc; ++i) {
        char key[MAX_TEXT];
        const char* eq = strchr(argv[i], '=');
        WideChar wideKey[MAX_TEXT], wideValue[MAX_TEXT];
        if (eq == NULL || (size_t)(eq - argv[i]) >= sizeof key) {
            fprintf(stderr, "c_host: %s: not KEY=VALUE\n", argv[i]);
            return 1;
        }
        memcpy(key, argv[i], (size_t)(eq - argv[i]));
        key[eq - argv[i]] = 0;
        wideFromAscii(wideKey, key);
        wideFromAscii(wideValue, eq + 1);
        addSetting(wideKey, wideValue);
    }

#if defined(_WIN32)
    library = LoadLibraryA(argv[1]);
    if (library == NULL) {
        fprintf(stderr, "c_host: %s: cannot load (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    entry = (PluginPreInitFn)(void (*)(void))GetProcAddress(library, PLUGIN_ENTRY_NAME);
#else
    library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "c_host: %s\n", dlerror());
        return 2;
    }
    {
        /* ISO C has no conversion from an object pointer to a function
         * pointer; POSIX guarantees that this one works. */
        union {
            void* object;
            PluginPreInitFn function;
        } symbol;
        symbol.object = dlsym(library, PLUGIN_ENTRY_NAME);
        entry = symbol.function;
    }
#endif
    if (entry == NULL) {
        fprintf(stderr, "c_host: %s: no %s\n", argv[1], PLUGIN_ENTRY_NAME);
        return 3;
    }
    d = entry();
    printf("plugin: ");
    printWide(d->name);
    printf(", kind %ld, number %ld\n", (long)d->kind, (long)d->number);
    if (d->kind != PLUGIN_KIND_RECEIVES_GPS && d->kind != PLUGIN_KIND_SUPPLIES_GPS) {
        fprintf(stderr, "c_host: unknown plugin kind %ld\n", (long)d->kind);
        return 4;
    }

    setUpServices();
    if (d->init(&context) != 1) {
        fprintf(stderr, "c_host: PluginInit failed\n");
        code = 5;
    } else if (d->start() != 1) {
        fprintf(stderr, "c_host: PluginStart failed\n");
        code = 6;
    } else {
        if (d->kind == PLUGIN_KIND_RECEIVES_GPS)
            driveRecorder(d);
        else
            driveProvider(d);
        d->stop();
    }
    /* Always before unloading, also after a failed init or start. */
    d->deInit();
    for (i = 0; i < settingCount; ++i) {
        printf("setting ");
        printWide(settings[i].key);
        printf("=");
        printWide(settings[i].value);
        printf("\n");
    }
#if defined(_WIN32)
    FreeLibrary(library);
#else
    dlclose(library);
#endif
    return code;
}
