#include "simulated_driver.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#if defined(_WIN32)
const char kDriverFile[] = "GPSAPI.DLL";
#else
const char kDriverFile[] = "GPSAPI.so";
#endif

std::string driverLibraryPath(const std::string& folder) {
    return programFolder() + folder + kPathSeparator + kDriverFile;
}

const char* const kDriverControlEntries[8] = {
    "SimGpsReset",           "SimGpsPushReading",      "SimGpsSignalDeviceState",
    "SimGpsSetFailures",     "SimGpsGetCounters",      "SimGpsReplayFinished",
    "SimGpsGetReplayStatus", "SimGpsReplayAcknowledge"};

SimulatedDriver::SimulatedDriver(const std::string& folder)
    : path_(driverLibraryPath(folder)), library_(path_) {
    if (!library_.loaded())
        return;
    reset_ = resolve<SimGpsResetFn>("SimGpsReset");
    push_ = resolve<SimGpsPushReadingFn>("SimGpsPushReading");
    signalDeviceState_ = resolve<SimGpsSignalDeviceStateFn>("SimGpsSignalDeviceState");
    setFailures_ = resolve<SimGpsSetFailuresFn>("SimGpsSetFailures");
    getCounters_ = resolve<SimGpsGetCountersFn>("SimGpsGetCounters");
    replayFinished_ = resolve<SimGpsReplayFinishedFn>("SimGpsReplayFinished");
    acknowledge_ = resolve<SimGpsReplayAcknowledgeFn>("SimGpsReplayAcknowledge");
    replayStatus_ = resolve<SimGpsGetReplayStatusFn>("SimGpsGetReplayStatus");
}

bool SimulatedDriver::ok() const {
    return library_.loaded() && reset_ != nullptr && push_ != nullptr &&
           signalDeviceState_ != nullptr && setFailures_ != nullptr && getCounters_ != nullptr &&
           replayFinished_ != nullptr && acknowledge_ != nullptr && replayStatus_ != nullptr;
}

GPS_POSITION blankReading(uint32_t valid, uint32_t fixType) {
    GPS_POSITION p;
    std::memset(&p, 0, sizeof p);
    p.dwVersion = GPS_VERSION_1;
    p.dwSize = GPS_POSITION_SIZE;
    p.dwValidFields = valid;
    p.FixType = fixType;
    return p;
}

GPS_POSITION driverReading(const GpsRecord& r) {
    GPS_POSITION p = blankReading(0x3FFFF, GPS_FIX_3D);
    p.stUTCTime.wYear = static_cast<uint16_t>(r.year);
    p.stUTCTime.wMonth = r.month;
    p.stUTCTime.wDay = r.day;
    p.stUTCTime.wHour = r.hour;
    p.stUTCTime.wMinute = r.minute;
    p.stUTCTime.wSecond = r.second;
    p.stUTCTime.wMilliseconds = r.milliseconds;
    p.dblLongitude = r.longitude;
    p.dblLatitude = r.latitude;
    p.flAltitudeWRTEllipsoid = r.altitude;
    p.flHorizontalDilutionOfPrecision = r.hdop;
    return p;
}

SimGpsCounters SimulatedDriver::counters() const {
    SimGpsCounters c;
    getCounters_(&c);
    return c;
}

SimGpsReplayStatus SimulatedDriver::replayStatus() const {
    SimGpsReplayStatus s;
    replayStatus_(&s);
    return s;
}

namespace {

void setVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

} // namespace

void SimulatedDriver::setReplayLog(const std::string& path) {
    setVariable(SIMGPS_REPLAY_LOG_VARIABLE, path);
}

void SimulatedDriver::setReplayPace(const std::string& pace) {
    setVariable(SIMGPS_REPLAY_PACE_VARIABLE, pace);
}

bool SimulatedDriver::isLoaded() {
#if defined(_WIN32)
    return GetModuleHandleA(kDriverFile) != nullptr;
#else
    void* handle = dlopen(kDriverFile, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    dlclose(handle);
    return true;
#endif
}

void ReplayEnd::resolve(const PluginModule& provider) {
    if (finished_ != nullptr)
        return;
    if (driver_.attach(kDriverFile)) {
        finished_ =
            reinterpret_cast<SimGpsReplayFinishedFn>(driver_.symbol("SimGpsReplayFinished"));
        acknowledge_ =
            reinterpret_cast<SimGpsReplayAcknowledgeFn>(driver_.symbol("SimGpsReplayAcknowledge"));
        status_ =
            reinterpret_cast<SimGpsGetReplayStatusFn>(driver_.symbol("SimGpsGetReplayStatus"));
        if (finished_ == nullptr)
            release();
    }
    if (finished_ == nullptr)
        finished_ =
            reinterpret_cast<SimGpsReplayFinishedFn>(provider.symbol("SimGpsReplayFinished"));
}

long ReplayEnd::positionsDelivered() const {
    if (status_ == nullptr)
        return -1;
    SimGpsReplayStatus s;
    std::memset(&s, 0, sizeof s);
    status_(&s);
    return s.positionsDelivered;
}

void ReplayEnd::release() {
    finished_ = nullptr;
    acknowledge_ = nullptr;
    status_ = nullptr;
    driver_.unload();
}

bool replayWithoutLog() {
    PluginModule driver;
    if (!driver.attach(kDriverFile) || driver.symbol("SimGpsReplayFinished") == nullptr)
        return false;
    const char* log = std::getenv(SIMGPS_REPLAY_LOG_VARIABLE);
    return log == nullptr || *log == 0;
}
