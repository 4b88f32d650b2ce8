/* A third plugin, in C: a recorder (kind 4) that writes every position with
 * a fix as one CSV line. Its one setting, csv_path (default "track.csv"),
 * names the file; each start ... stop period rewrites it, beginning with a
 * header line. All state is static; all work runs on the host's thread. */
#include <navplugin/plugin.h>

#include <stdio.h>

#define PATH_CAPACITY 260

static const WideChar kName[] = {'C', 'S', 'V', 'T', 'R', 'A', 'C', 'K', 0};
static const WideChar kMaker[] = {'M', 'a', 'r', 'v', 'e', 'k', ' ', 'L', 't', 'd', '.', 0};
static const WideChar kPathKey[] = {'c', 's', 'v', '_', 'p', 'a', 't', 'h', 0};
static const WideChar kPathDefault[] = {'t', 'r', 'a', 'c', 'k', '.', 'c', 's', 'v', 0};

static PluginDescriptor descriptor;
static WideChar path[PATH_CAPACITY];
static FILE* file;
static int started;

/* Copies at most PATH_CAPACITY - 1 units: the host's string is read here
 * and not kept. */
static void setPath(const WideChar* value) {
    size_t i = 0;
    for (; value[i] != 0 && i + 1 < PATH_CAPACITY; ++i)
        path[i] = value[i];
    path[i] = 0;
}

static FILE* openPath(void) {
#if defined(_WIN32)
    return _wfopen(path, L"wb");
#else
    /* UTF-16 to UTF-8 for the C library; a lone surrogate becomes '?'. */
    char narrow[PATH_CAPACITY * 3];
    size_t in = 0, out = 0;
    for (; path[in] != 0; ++in) {
        unsigned long c = path[in];
        if (c >= 0xD800 && c < 0xDC00 && path[in + 1] >= 0xDC00 && path[in + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (path[in + 1] - 0xDC00);
            ++in;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = '?';
        }
        if (c < 0x80) {
            narrow[out++] = (char)c;
        } else if (c < 0x800) {
            narrow[out++] = (char)(0xC0 | (c >> 6));
            narrow[out++] = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            narrow[out++] = (char)(0xE0 | (c >> 12));
            narrow[out++] = (char)(0x80 | ((c >> 6) & 0x3F));
            narrow[out++] = (char)(0x80 | (c & 0x3F));
        } else {
            narrow[out++] = (char)(0xF0 | (c >> 18));
            narrow[out++] = (char)(0x80 | ((c >> 12) & 0x3F));
            narrow[out++] = (char)(0x80 | ((c >> 6) & 0x3F));
            narrow[out++] = (char)(0x80 | (c & 0x3F));
        }
    }
    narrow[out] = 0;
    return fopen(narrow, "wb");
#endif
}

static void closeFile(void) {
    if (file != NULL) {
        fclose(file);
        file = NULL;
    }
}

static int32_t PLUGIN_CALL PluginInit(HostContext* context) {
    const HostServices* s = context->services;
    GetSettingFn getSetting = NULL;
    SetSettingFn setSetting = NULL;
    const WideChar* value = NULL;
    if (s->entries != NULL && s->entryCount > HOST_SERVICE_GET_SETTING)
        getSetting = (GetSettingFn)s->entries[HOST_SERVICE_GET_SETTING];
    if (s->entries != NULL && s->entryCount > HOST_SERVICE_SET_SETTING)
        setSetting = (SetSettingFn)s->entries[HOST_SERVICE_SET_SETTING];
    setPath(kPathDefault);
    if (getSetting != NULL && (getSetting(context, kPathKey, &value) & 0xFF) != 0 && value != NULL)
        setPath(value);
    else if (setSetting != NULL)
        setSetting(context, kPathKey, kPathDefault);
    return 1;
}

static int32_t PLUGIN_CALL PluginStart(void) {
    if (started)
        return 1;
    file = openPath();
    if (file == NULL)
        return 0;
    fputs("time,latitude,longitude,altitude,speed_kmh,fix\n", file);
    started = 1;
    return 1;
}

static int32_t PLUGIN_CALL PluginStop(void) {
    closeFile();
    started = 0;
    return 1;
}

static int32_t PLUGIN_CALL PluginDeInit(void) {
    return PluginStop();
}

/* Numbers are written with the C library's default "C" locale, which a
 * host that calls setlocale would change: a real plugin formats its own. */
static void PLUGIN_CALL PluginSetGPSData(const GpsRecord* r) {
    if (!started || r->fixStatus == FIX_NONE)
        return;
    fprintf(file, "%04ld-%02u-%02uT%02u:%02u:%02u.%03uZ,%.6f,%.6f,%.1f,%.2f,%u\n", (long)r->year,
            r->month, r->day, r->hour, r->minute, r->second, r->milliseconds, r->latitude,
            r->longitude, r->altitude, r->speed, r->fixStatus);
}

PLUGIN_EXPORT PluginDescriptor* PLUGIN_CALL pluginPreInitMethod(void) {
    descriptor.interfaceVersion = PLUGIN_INTERFACE_VERSION;
    descriptor.reserved1 = -1;
    descriptor.kind = PLUGIN_KIND_RECEIVES_GPS;
    descriptor.number = 2000;
    descriptor.name = kName;
    descriptor.maker = kMaker;
    descriptor.makerAgain = kMaker;
    descriptor.reserved7 = 0;
    descriptor.init = PluginInit;
    descriptor.deInit = PluginDeInit;
    descriptor.start = PluginStart;
    descriptor.stop = PluginStop;
    descriptor.unused12 = NULL;
    descriptor.unused13 = NULL;
    descriptor.gpsData.setGPSData = PluginSetGPSData;
    descriptor.getSatellites = NULL;
    return &descriptor;
}
