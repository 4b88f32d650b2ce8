/* The GPS provider plugin: binds the platform GPS driver's client library at
 * run time, exchanges its settings with the host, opens the device with two
 * notification events and runs a reader thread that converts every new
 * reading (conversion.cpp). The host polls slots 14 and 15 for the data
 * (handover.cpp). All state is static; every handle is forgotten as soon
 * as it is released. */
#include "../contract/plugin.h"
#include "../internal/settings.h"
#include "../internal/wide_string.h"
#include "../platform/atomic.h"
#include "../platform/gps_driver.h"
#include "../platform/platform.h"
#include "conversion.h"
#include "handover.h"

namespace {

const WideChar kName[] = {'O', 'R', 'V', 'A', 'N', 'E', 0};
const WideChar kMaker[] = {'M', 'a', 'r', 'v', 'e', 'k', ' ', 'L', 't', 'd', '.', 0};
const WideChar kDriverLibrary[] = {'G', 'P', 'S', 'A', 'P', 'I', '.', 'D', 'L', 'L', 0};

const WideChar kLogFileKey[] = {'l', 'o', 'g', '_', 'f', 'i', 'l', 'e', 0};
const WideChar kLogEnabledKey[] = {'l', 'o', 'g', '_', 'e', 'n', 'a', 'b', 'l', 'e', 'd', 0};
const WideChar kTraceLevelKey[] = {'t', 'r', 'a', 'c', 'e', '_', 'l', 'e', 'v', 'e', 'l', 0};
const WideChar kFalse[] = {'f', 'a', 'l', 's', 'e', 0};
const WideChar kZero[] = {'0', 0};

/* The log file setting: at most 254 characters and the terminator. */
const size_t kLogFileCapacity = 255;

/* How long the reader thread pauses after a failed wait, in milliseconds. */
const uint32_t kFailedWaitPauseMs = 5000;
const uint32_t kFailedWaitStepMs = 100;

/* The reader thread's wait set. The stop event comes first: when several
 * are signalled the lowest wins, so a steady flow of readings cannot keep
 * the thread from stopping. */
enum { kWaitStop, kWaitNewLocation, kWaitDeviceState, kWaitCount };
/* The order in which the events are created, and closed. */
const int kEventOrder[kWaitCount] = {kWaitNewLocation, kWaitDeviceState, kWaitStop};

PluginDescriptor descriptor;
HostEntries hostEntries;

/* Settings; exchanged with the host and kept. */
WideChar logFile[kLogFileCapacity] = {'\\', 'o', 'r', 'v', 'a', 'n', 'e', '.', 'l', 'o', 'g', 0};
bool logEnabled;
int32_t traceLevel;

/* The driver binding. */
PlatformHandle driverLibrary;
GPSOpenDeviceFn gpsOpenDevice;
GPSCloseDeviceFn gpsCloseDevice;
GPSGetPositionFn gpsGetPosition;
GPSGetDeviceStateFn gpsGetDeviceState;

/* The open device, its events and the reader thread. */
GpsHandle device;
GPS_DEVICE deviceBuffer;
PlatformHandle waitEvents[kWaitCount];
PlatformHandle readerThread;
uint32_t readerThreadId;
volatile int32_t stopRequested;

/* After a failed wait: pauses, but returns at once (true) when asked to
 * stop, so that PluginDeInit never waits out the pause. */
bool pauseAfterFailedWait(PlatformHandle stopEvent) {
    const uint32_t result = platformWaitAny(&stopEvent, 1, kFailedWaitPauseMs);
    if (result == 0)
        return true;
    if (result != PLATFORM_WAIT_FAILED)
        return atomicLoadAcquire(&stopRequested) != 0;
    /* Not even the stop event can be waited on: pause in short steps and
     * watch the flag instead. */
    for (uint32_t slept = 0; slept < kFailedWaitPauseMs; slept += kFailedWaitStepMs) {
        if (atomicLoadAcquire(&stopRequested) != 0)
            return true;
        platformSleep(kFailedWaitStepMs);
    }
    return atomicLoadAcquire(&stopRequested) != 0;
}

/* Sleeps on the driver's two events until PluginDeInit asks it to stop.
 * Everything it uses is taken once here; PluginDeInit releases none of it
 * before this thread has ended. */
PlatformThreadResult PLATFORM_THREAD_CALL readerMain(void*) {
    PlatformHandle events[kWaitCount];
    for (int i = 0; i < kWaitCount; ++i)
        events[i] = waitEvents[i];
    const GPSGetPositionFn fetch = gpsGetPosition;
    const GpsHandle reading = device;

    for (;;) {
        const uint32_t result = platformWaitAny(events, kWaitCount, PLATFORM_WAIT_FOREVER);
        if (result == kWaitStop || atomicLoadAcquire(&stopRequested) != 0)
            break;
        if (result == kWaitNewLocation)
            readPosition(fetch, reading);
        else if (result == kWaitDeviceState)
            continue; /* the state is not used */
        else if (pauseAfterFailedWait(events[kWaitStop]))
            break;
    }
    return 0;
}

void forgetDriverEntries() {
    gpsOpenDevice = 0;
    gpsCloseDevice = 0;
    gpsGetPosition = 0;
    gpsGetDeviceState = 0;
}

PlatformProc driverEntry(const char* name) {
    return platformLibrarySymbol(driverLibrary, name);
}

/* Loads the driver library and resolves its four entries. A library that
 * lacks any of them is as good as none: it is freed again. */
bool bindDriver() {
    driverLibrary = platformLibraryLoad(kDriverLibrary);
    if (driverLibrary == 0)
        return false;
    /* Resolved in this order, each by its name. */
    gpsOpenDevice = reinterpret_cast<GPSOpenDeviceFn>(driverEntry("GPSOpenDevice"));
    gpsCloseDevice = reinterpret_cast<GPSCloseDeviceFn>(driverEntry("GPSCloseDevice"));
    gpsGetPosition = reinterpret_cast<GPSGetPositionFn>(driverEntry("GPSGetPosition"));
    gpsGetDeviceState = reinterpret_cast<GPSGetDeviceStateFn>(driverEntry("GPSGetDeviceState"));
    if (gpsOpenDevice != 0 && gpsCloseDevice != 0 && gpsGetPosition != 0 && gpsGetDeviceState != 0)
        return true;
    platformLibraryFree(driverLibrary);
    driverLibrary = 0;
    forgetDriverEntries();
    return false;
}

void exchangeSettings(HostContext* context) {
    const WideChar* value = readOrSeedSetting(&hostEntries, context, kLogFileKey, logFile);
    /* The host's string may not outlive this call: keep a copy. */
    if (value != 0)
        wideCopyBounded(logFile, kLogFileCapacity, value);

    value = readOrSeedSetting(&hostEntries, context, kLogEnabledKey, kFalse);
    if (value != 0)
        logEnabled = wideEqualsAscii(value, "true");

    value = readOrSeedSetting(&hostEntries, context, kTraceLevelKey, kZero);
    if (value != 0)
        traceLevel = wideToInt32(value);
}

/* Ends the reader thread, then releases the device, the library and the
 * events, in that order, forgetting each. Safe to run at any point. */
void releaseAll() {
    if (readerThread != 0) {
        atomicStoreRelease(&stopRequested, 1);
        platformEventSignal(waitEvents[kWaitStop]);
        platformThreadJoin(readerThread);
        readerThread = 0;
        readerThreadId = 0;
        /* Nothing of this run is handed out after it: before the next
         * PluginStart there is nothing to fetch. */
        withdrawPublications();
    }
    if (device != 0) {
        gpsCloseDevice(device);
        device = 0;
    }
    if (driverLibrary != 0) {
        platformLibraryFree(driverLibrary);
        driverLibrary = 0;
        forgetDriverEntries();
    }
    for (int i = 0; i < kWaitCount; ++i) {
        PlatformHandle& event = waitEvents[kEventOrder[i]];
        if (event != 0) {
            platformEventClose(event);
            event = 0;
        }
    }
}

int32_t PLUGIN_CALL PluginInit(HostContext* context) {
    /* A library already bound stays bound; loading it again would only
     * leak a reference. */
    if (driverLibrary == 0 && !bindDriver())
        return 0;
    takeHostEntries(&hostEntries, context);
    exchangeSettings(context);
    return 1;
}

int32_t PLUGIN_CALL PluginStart() {
    if (driverLibrary == 0)
        return 0;
    /* Already running: the device is open and the thread reads it. */
    if (readerThread != 0)
        return 1;

    deviceBuffer.dwVersion = GPS_VERSION_1;
    deviceBuffer.dwSize = GPS_DEVICE_SIZE;
    preparePositionBuffer();
    /* A run starts from nothing: no field of an earlier run is kept. */
    clearWorkingData();

    for (int i = 0; i < kWaitCount; ++i) {
        PlatformHandle& event = waitEvents[kEventOrder[i]];
        event = platformEventCreate();
        if (event == 0) {
            releaseAll();
            return 0;
        }
    }
    device = gpsOpenDevice(waitEvents[kWaitNewLocation], waitEvents[kWaitDeviceState], 0, 0);
    if (device == 0 || gpsGetDeviceState(&deviceBuffer) != 0) {
        releaseAll();
        return 0;
    }
    atomicStoreRelease(&stopRequested, 0);
    readerThread = platformThreadStart(readerMain, 0, &readerThreadId);
    if (readerThread == 0) {
        releaseAll();
        return 0;
    }
    return 1;
}

int32_t PLUGIN_CALL PluginStop() {
    /* The device and the reader thread keep running until PluginDeInit. */
    return 1;
}

int32_t PLUGIN_CALL PluginDeInit() {
    releaseAll();
    return 1;
}

} // namespace

PLUGIN_EXPORT PluginDescriptor* PLUGIN_CALL pluginPreInitMethod(void) {
    descriptor.interfaceVersion = PLUGIN_INTERFACE_VERSION;
    descriptor.reserved1 = -1;
    descriptor.kind = PLUGIN_KIND_SUPPLIES_GPS;
    descriptor.number = 1001;
    descriptor.name = kName;
    descriptor.maker = kMaker;
    descriptor.makerAgain = kMaker;
    descriptor.reserved7 = 0;
    descriptor.init = PluginInit;
    descriptor.deInit = PluginDeInit;
    descriptor.start = PluginStart;
    descriptor.stop = PluginStop;
    descriptor.unused12 = 0;
    descriptor.unused13 = 0;
    descriptor.gpsData.getPosition = PluginGetPosition;
    descriptor.getSatellites = PluginGetSatellites;
    return &descriptor;
}
