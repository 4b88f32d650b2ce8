#include "simulated_driver.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#endif

#if defined(_WIN32)
const char kDriverFile[] = "GPSAPI.DLL";
#else
const char kDriverFile[] = "GPSAPI.so";
#endif

namespace {

#if !defined(_WIN32)
int countEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr)
        return -1;
    int n = 0;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}
#endif

} // namespace

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

int countThreads() {
#if defined(_WIN32)
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    CloseHandle(snapshot);
    return n;
#else
    return countEntries("/proc/self/task");
#endif
}

ProcessResources processResources() {
    ProcessResources r;
    r.threads = countThreads();
#if defined(_WIN32)
    // Wine reports no handle count; probe the handle values instead.
    for (uintptr_t value = 4; value < 0x8000; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++r.handles;
    }
#else
    r.handles = countEntries("/proc/self/fd");
#endif
    return r;
}

std::string describe(const ProcessResources& r) {
    return std::to_string(r.threads) + " threads, " + std::to_string(r.handles) + " handles";
}
