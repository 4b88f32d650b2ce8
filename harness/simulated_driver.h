// The simulated GPS driver library, loaded by full path from its build
// folder so that the provider's own load by name finds it already loaded.
#pragma once

#include "../bench/gpsapi/gpsapi_control.h"
#include "../contract/gps_record.h"
#include "plugin_library.h"
#include "process_resources.h"

#include <string>

// The driver library's file name, and its path in FOLDER beside the test
// program.
extern const char kDriverFile[];
std::string driverLibraryPath(const std::string& folder);

class SimulatedDriver {
  public:
    // FOLDER beside the test program: "driver", or "driver-without-ENTRY"
    // for a build that lacks ENTRY.
    explicit SimulatedDriver(const std::string& folder = "driver");
    SimulatedDriver(const SimulatedDriver&) = delete;
    SimulatedDriver& operator=(const SimulatedDriver&) = delete;

    // Loaded, with every control entry.
    bool ok() const;
    const std::string& path() const { return path_; }

    void reset() { reset_(); }
    void push(const GPS_POSITION& reading, bool signal = true) { push_(&reading, signal ? 1 : 0); }
    void signalDeviceState() { signalDeviceState_(); }
    void setFailures(uint32_t mask) { setFailures_(mask); }
    SimGpsCounters counters() const;

    // Whether a library of the driver's name is loaded in this process.
    static bool isLoaded();

  private:
    template <typename Fn> Fn resolve(const char* name) const {
        return reinterpret_cast<Fn>(library_.symbol(name));
    }

    std::string path_;
    PluginLibrary library_; // the loader serves any library, not only plugins
    SimGpsResetFn reset_ = nullptr;
    SimGpsPushReadingFn push_ = nullptr;
    SimGpsSignalDeviceStateFn signalDeviceState_ = nullptr;
    SimGpsSetFailuresFn setFailures_ = nullptr;
    SimGpsGetCountersFn getCounters_ = nullptr;
};

// The driver's reading of record R: every field valid, a 3-D fix, the
// record's time, position, altitude (above the ellipsoid) and HDOP, no
// satellites.
GPS_POSITION driverReading(const GpsRecord& r);
