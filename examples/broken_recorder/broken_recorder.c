/* A deliberately broken recorder, for "navhost check". It writes every
 * position with a fix as a line of broken.csv in the current folder, and
 * makes a fault a recorder author easily makes:
 *  - PluginDeInit closes the file but does not end the recording, so a
 *    position delivered after PluginDeInit opens the file again, and it
 *    stays open.
 * Built with BROKEN_BLOCK defined (broken_block), PluginStop waits for a
 * writer that was never started, and never returns.
 * Do not copy it. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200112L
#endif
#include <navplugin/plugin.h>

#include <stdio.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

static const WideChar kName[] = {'B', 'R', 'O', 'K', 'E', 'N', 'R', 'E', 'C', 0};
static const WideChar kMaker[] = {'E', 'x', 'a', 'm', 'p', 'l', 'e', 0};

static PluginDescriptor descriptor;
static FILE* file;
static int recording;
#if defined(BROKEN_BLOCK)
static volatile int writerDone;
#endif

static int32_t PLUGIN_CALL PluginInit(HostContext* context) {
    (void)context;
    return 1;
}

static int32_t PLUGIN_CALL PluginStart(void) {
    recording = 1;
    return 1;
}

static void closeFile(void) {
    if (file != NULL)
        fclose(file);
    file = NULL;
}

static int32_t PLUGIN_CALL PluginStop(void) {
#if defined(BROKEN_BLOCK)
    while (!writerDone) { /* fault: nothing ever sets it */
#if defined(_WIN32)
        Sleep(50);
#else
        struct timespec t;
        t.tv_sec = 0;
        t.tv_nsec = 50000000L;
        nanosleep(&t, NULL);
#endif
    }
#endif
    recording = 0;
    closeFile();
    return 1;
}

static int32_t PLUGIN_CALL PluginDeInit(void) {
    closeFile(); /* fault: still recording */
    return 1;
}

static void PLUGIN_CALL PluginSetGPSData(const GpsRecord* record) {
    if (!recording || record == NULL || record->fixStatus == FIX_NONE)
        return;
    if (file == NULL)
        file = fopen("broken.csv", "ab");
    if (file != NULL)
        fprintf(file, "%f,%f\n", record->latitude, record->longitude);
}

PLUGIN_EXPORT PluginDescriptor* PLUGIN_CALL pluginPreInitMethod(void) {
    descriptor.interfaceVersion = PLUGIN_INTERFACE_VERSION;
    descriptor.reserved1 = -1;
    descriptor.kind = PLUGIN_KIND_RECEIVES_GPS;
    descriptor.number = 2002;
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
    return &descriptor;
}
