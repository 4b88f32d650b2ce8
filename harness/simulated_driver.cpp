#include "simulated_driver.h"

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

SimulatedDriver::SimulatedDriver(const std::string& folder)
    : path_(driverLibraryPath(folder)), library_(path_) {
    if (!library_.loaded())
        return;
    reset_ = resolve<SimGpsResetFn>("SimGpsReset");
    push_ = resolve<SimGpsPushReadingFn>("SimGpsPushReading");
    signalDeviceState_ = resolve<SimGpsSignalDeviceStateFn>("SimGpsSignalDeviceState");
    setFailures_ = resolve<SimGpsSetFailuresFn>("SimGpsSetFailures");
    getCounters_ = resolve<SimGpsGetCountersFn>("SimGpsGetCounters");
}

bool SimulatedDriver::ok() const {
    return library_.loaded() && reset_ != nullptr && push_ != nullptr &&
           signalDeviceState_ != nullptr && setFailures_ != nullptr && getCounters_ != nullptr;
}

GPS_POSITION driverReading(const GpsRecord& r) {
    GPS_POSITION p;
    std::memset(&p, 0, sizeof p);
    p.dwVersion = GPS_VERSION_1;
    p.dwSize = GPS_POSITION_SIZE;
    p.dwValidFields = 0x3FFFF;
    p.FixType = GPS_FIX_3D;
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
