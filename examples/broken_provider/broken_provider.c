/* A deliberately broken provider, the kind of plugin "navhost check" is
 * for. Each fault is one a plugin author easily makes:
 *  - it hands out a position before PluginStart (its ready flag starts set);
 *  - once started, it hands out its one fix on every poll, where each
 *    position is handed out once;
 *  - PluginStop returns 0, where the contract says always 1;
 *  - PluginStart starts a worker thread that PluginDeInit never ends, so a
 *    host that unloads the library after PluginDeInit would crash;
 *  - PluginStart opens a handle that nothing closes.
 * Built with BROKEN_CRASH defined (broken_crash), PluginGetPosition after
 * PluginStop reads through a pointer PluginStop cleared, and crashes.
 * Do not copy it. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200112L
#endif
#include <navplugin/plugin.h>

#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <stdio.h>
#include <time.h>
#endif

static const WideChar kName[] = {'B', 'R', 'O', 'K', 'E', 'N', 0};
static const WideChar kMaker[] = {'E', 'x', 'a', 'm', 'p', 'l', 'e', 0};

static PluginDescriptor descriptor;
static int ready = 1; /* fault: set before any reading */
static int threadRunning;
static int started;
static volatile int forever = 1;
static GpsRecord fix;
static GpsRecord* volatile latest = &fix;

#if defined(_WIN32)
static DWORD WINAPI worker(LPVOID unused) {
    (void)unused;
    while (forever)
        Sleep(50);
    return 0;
}
#else
static void* worker(void* unused) {
    struct timespec t;
    (void)unused;
    t.tv_sec = 0;
    t.tv_nsec = 50000000L;
    while (forever)
        nanosleep(&t, NULL);
    return NULL;
}
#endif

static int32_t PLUGIN_CALL PluginInit(HostContext* context) {
    (void)context;
    return 1;
}

static int32_t PLUGIN_CALL PluginStart(void) {
    if (!threadRunning) {
#if defined(_WIN32)
        HANDLE thread = CreateThread(NULL, 0, worker, NULL, 0, NULL);
        if (thread == NULL)
            return 0;
        CloseHandle(thread);
#else
        pthread_t thread;
        if (pthread_create(&thread, NULL, worker, NULL) != 0)
            return 0;
        pthread_detach(thread);
#endif
        threadRunning = 1;
    }
#if defined(_WIN32)
    CreateEventA(NULL, FALSE, FALSE, NULL); /* fault: never closed */
#else
    fopen("/dev/null", "r"); /* fault: never closed */
#endif
    latest = &fix;
    started = 1;
    return 1;
}

static int32_t PLUGIN_CALL PluginStop(void) {
    started = 0;
#if defined(BROKEN_CRASH)
    latest = NULL;
#endif
    return 0; /* fault */
}

static int32_t PLUGIN_CALL PluginDeInit(void) {
    return 1; /* fault: the worker thread keeps running */
}

static int32_t PLUGIN_CALL PluginGetPosition(GpsRecord* record) {
    if (!ready && !started)       /* fault: a started provider always has its fix */
        return latest->fixStatus; /* the fix's status: 0, nothing handed out */
    memset(record, 0, sizeof *record);
    record->latitude = 48.0f;
    record->longitude = 11.0f;
    record->fixStatus = FIX_2D;
    ready = 0;
    return 1;
}

static int32_t PLUGIN_CALL PluginGetSatellites(SatelliteRecord* satellites, int32_t* count) {
    (void)satellites;
    (void)count;
    return 0;
}

PLUGIN_EXPORT PluginDescriptor* PLUGIN_CALL pluginPreInitMethod(void) {
    descriptor.interfaceVersion = PLUGIN_INTERFACE_VERSION;
    descriptor.reserved1 = -1;
    descriptor.kind = PLUGIN_KIND_SUPPLIES_GPS;
    descriptor.number = 2001;
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
    descriptor.gpsData.getPosition = PluginGetPosition;
    descriptor.getSatellites = PluginGetSatellites;
    return &descriptor;
}
