// The simulated GPS driver: the four entries of the platform's client
// library, with the control entries that tests and the bench host use.
#include "driver_state.h"
#include "replay.h"

#include "../../platform/platform.h"

#include <atomic>
#include <cstring>

#if defined(_WIN32)
#define GPSAPI_ENTRY extern "C"
#else
#define GPSAPI_ENTRY extern "C" __attribute__((visibility("default")))
#endif

namespace {

// The platform's error codes for the results.
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInvalidParameter = 87;

constexpr int kMaxDevices = 8;

struct Device {
    bool open;
    uintptr_t handle;
    PlatformHandle newLocation, stateChange;
};

// Guarded by stateLock. A variant that lacks an entry leaves some of these
// helpers unused.
Device devices[kMaxDevices];
[[maybe_unused]] uintptr_t nextHandle =
    0x5100; // handles are never reused, so a stale one is caught
SimGpsCounters counters;
uint32_t failures;
GPS_POSITION reading;
uint64_t readingSerial, fetchedSerial;
uint64_t hostReceipts;
bool readingFromReplay;
gpsapi::ReplayProgress replayProgress;

// Serialises opening and closing, which may start or stop the replay thread;
// that thread takes only stateLock.
[[maybe_unused]] Mutex lifecycleLock;

[[maybe_unused]] Device* findOpen(GpsHandle handle) {
    for (Device& d : devices)
        if (d.open && d.handle == reinterpret_cast<uintptr_t>(handle))
            return &d;
    return nullptr;
}

[[maybe_unused]] int eventCount(const Device& d) {
    return (d.newLocation != nullptr ? 1 : 0) + (d.stateChange != nullptr ? 1 : 0);
}

// Copies what fits in the caller's DW_SIZE bytes, keeping its version and size.
[[maybe_unused]] void copyKeepingHeader(void* to, const void* from, uint32_t callerSize,
                                        size_t ourSize) {
    size_t n = callerSize < ourSize ? callerSize : ourSize;
    if (n > 8)
        std::memcpy(static_cast<char*>(to) + 8, static_cast<const char*>(from) + 8, n - 8);
}

[[maybe_unused]] void copyWide(WideChar* to, const char* from, size_t capacity) {
    size_t i = 0;
    for (; from[i] != 0 && i + 1 < capacity; ++i)
        to[i] = static_cast<WideChar>(from[i]);
    to[i] = 0;
}

} // namespace

namespace gpsapi {

Mutex stateLock;
Condition stateChanged;

namespace {

// Signals being sent with stateLock released; a close waits for none.
std::atomic<int> signalsUnderWay(0);

} // namespace

uint64_t storeLocked(const GPS_POSITION& r, bool fromReplay) {
    reading = r;
    readingFromReplay = fromReplay;
    return ++readingSerial;
}

void gatherNewLocationLocked(PendingSignals* out) {
    static_assert(sizeof out->events / sizeof out->events[0] >= kMaxDevices, "room for all");
    out->count = 0;
    for (const Device& d : devices)
        if (d.open && d.newLocation != nullptr)
            out->events[out->count++] = d.newLocation;
    if (out->count > 0)
        signalsUnderWay.fetch_add(1);
}

void sendSignals(const PendingSignals& pending) {
    if (pending.count == 0)
        return;
    for (int i = 0; i < pending.count; ++i)
        platformEventSignal(pending.events[i]);
    signalsUnderWay.fetch_sub(1);
}

uint64_t hostReceiptsLocked() {
    return hostReceipts;
}

uint64_t fetchedSerialLocked() {
    return fetchedSerial;
}

ReplayProgress& replayProgressLocked() {
    return replayProgress;
}

} // namespace gpsapi

using gpsapi::stateLock;

#ifndef GPSAPI_WITHOUT_GPSOpenDevice
GPSAPI_ENTRY GpsHandle GPSOpenDevice(GpsHandle newLocationData, GpsHandle deviceStateChange,
                                     const WideChar* deviceName, uint32_t flags) {
    Locked serial(lifecycleLock);
    Device* slot = nullptr;
    bool first = true;
    {
        Locked l(stateLock);
        counters.lastOpenFlags = flags;
        counters.lastOpenNameWasNull = deviceName == nullptr ? 1 : 0;
        if (failures & SIMGPS_FAIL_OPEN)
            return nullptr;
        for (Device& d : devices) {
            if (d.open)
                first = false;
            else if (slot == nullptr)
                slot = &d;
        }
        if (slot == nullptr)
            return nullptr;
        slot->open = true;
        slot->handle = nextHandle++;
        slot->newLocation = newLocationData;
        slot->stateChange = deviceStateChange;
    }
    // The device is open before the replay starts, so that the first epoch's
    // signal reaches it.
    if (first && !gpsapi::replayRunning() &&
        gpsapi::replayStart() == gpsapi::ReplayStart::kFailed) {
        Locked l(stateLock);
        slot->open = false;
        return nullptr;
    }
    Locked l(stateLock);
    ++counters.opens;
    ++counters.openDevices;
    counters.eventsHeld += eventCount(*slot);
    return reinterpret_cast<GpsHandle>(slot->handle);
}
#endif

#ifndef GPSAPI_WITHOUT_GPSCloseDevice
GPSAPI_ENTRY uint32_t GPSCloseDevice(GpsHandle device) {
    Locked serial(lifecycleLock);
    bool last = true;
    {
        Locked l(stateLock);
        Device* d = findOpen(device);
        if (d == nullptr) {
            ++counters.callsAfterClose;
            return kErrorInvalidHandle;
        }
        d->open = false;
        ++counters.closes;
        --counters.openDevices;
        counters.eventsHeld -= eventCount(*d);
        for (const Device& other : devices)
            if (other.open)
                last = false;
    }
    // The events go back to the caller only once no thread can signal them.
    if (last)
        gpsapi::replayStop();
    while (gpsapi::signalsUnderWay.load() != 0)
        yieldThread();
    return 0;
}
#endif

#ifndef GPSAPI_WITHOUT_GPSGetPosition
GPSAPI_ENTRY uint32_t GPSGetPosition(GpsHandle device, GPS_POSITION* position,
                                     uint32_t maximumAgeMs, uint32_t flags) {
    Locked l(stateLock);
    ++counters.fetches;
    counters.lastMaximumAge = maximumAgeMs;
    counters.lastFetchFlags = flags;
    if (position != nullptr) {
        counters.lastPositionVersion = position->dwVersion;
        counters.lastPositionSize = position->dwSize;
    }
    if (findOpen(device) == nullptr) {
        ++counters.callsAfterClose;
        return kErrorInvalidHandle;
    }
    if (failures & SIMGPS_FAIL_FETCH)
        return kErrorGenFailure;
    if (position == nullptr)
        return kErrorInvalidParameter;
    copyKeepingHeader(position, &reading, position->dwSize, sizeof reading);
    if (fetchedSerial != readingSerial) {
        fetchedSerial = readingSerial;
        if (readingFromReplay)
            ++replayProgress.status.epochsFetched;
        gpsapi::stateChanged.notifyAll();
    }
    return 0;
}
#endif

#ifndef GPSAPI_WITHOUT_GPSGetDeviceState
GPSAPI_ENTRY uint32_t GPSGetDeviceState(GPS_DEVICE* device) {
    Locked l(stateLock);
    ++counters.stateQueries;
    if (device != nullptr) {
        counters.lastDeviceVersion = device->dwVersion;
        counters.lastDeviceSize = device->dwSize;
    }
    if (failures & SIMGPS_FAIL_STATE)
        return kErrorGenFailure;
    if (device == nullptr)
        return kErrorInvalidParameter;
    GPS_DEVICE state;
    std::memset(&state, 0, sizeof state);
    state.dwServiceState = 1; // on
    state.dwDeviceState = counters.openDevices > 0 ? 1 : 0;
    copyWide(state.szGPSDriverPrefix, "GPD0:", 16);
    copyWide(state.szGPSMultiplexPrefix, "GPD1:", 16);
    copyWide(state.szGPSFriendlyName,
             replayProgress.status.running ? "Simulated GPS (replaying a log)" : "Simulated GPS",
             64);
    copyKeepingHeader(device, &state, device->dwSize, sizeof state);
    return 0;
}
#endif

// ---- Control entries ----

GPSAPI_ENTRY void PLUGIN_CALL SimGpsReset() {
    Locked l(stateLock);
    const int32_t open = counters.openDevices, held = counters.eventsHeld;
    std::memset(&counters, 0, sizeof counters);
    counters.openDevices = open; // what is open now stays counted
    counters.eventsHeld = held;
    failures = 0;
    std::memset(&reading, 0, sizeof reading);
}

GPSAPI_ENTRY void PLUGIN_CALL SimGpsPushReading(const GPS_POSITION* r, int32_t signal) {
    gpsapi::PendingSignals pending = {{}, 0};
    {
        Locked l(stateLock);
        if (r != nullptr)
            gpsapi::storeLocked(*r, false);
        if (signal)
            gpsapi::gatherNewLocationLocked(&pending);
    }
    gpsapi::sendSignals(pending);
}

GPSAPI_ENTRY void PLUGIN_CALL SimGpsSignalDeviceState() {
    Locked l(stateLock);
    for (const Device& d : devices)
        if (d.open && d.stateChange != nullptr)
            platformEventSignal(d.stateChange);
}

GPSAPI_ENTRY void PLUGIN_CALL SimGpsSetFailures(uint32_t mask) {
    Locked l(stateLock);
    failures = mask;
}

GPSAPI_ENTRY void PLUGIN_CALL SimGpsGetCounters(SimGpsCounters* out) {
    Locked l(stateLock);
    if (out != nullptr)
        *out = counters;
}

namespace {
bool replayFinishedLocked() {
    return replayProgress.reachedEnd && fetchedSerial >= replayProgress.lastSerial;
}
} // namespace

GPSAPI_ENTRY int32_t PLUGIN_CALL SimGpsReplayFinished() {
    Locked l(stateLock);
    return replayFinishedLocked() ? 1 : 0;
}

GPSAPI_ENTRY void PLUGIN_CALL SimGpsReplayAcknowledge() {
    Locked l(stateLock);
    ++hostReceipts;
    gpsapi::stateChanged.notifyAll();
}

GPSAPI_ENTRY void PLUGIN_CALL SimGpsGetReplayStatus(SimGpsReplayStatus* out) {
    Locked l(stateLock);
    if (out == nullptr)
        return;
    *out = replayProgress.status;
    out->finished = replayFinishedLocked() ? 1 : 0;
}
