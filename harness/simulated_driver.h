// The replay-control interface to the simulated GPS driver: the one place
// that knows the driver's bench-only entries (SimGps...) and the variables
// that name its replay (GPSAPI_REPLAY_LOG, GPSAPI_REPLAY_PACE), through
// gpsapi_control.h. The driver library is loaded by full path from its
// build folder, so that the provider's own load by name finds it already
// loaded; or, for a host, found in the process where the provider loaded it.
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

// The driver's bench-only entries, by name.
extern const char* const kDriverControlEntries[8];

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
    // The replay's side: 1 once the replay is over, the receipt of a
    // fetched position, the figures.
    int32_t replayFinished() const { return replayFinished_(); }
    void acknowledge() const { acknowledge_(); }
    SimGpsReplayStatus replayStatus() const;
    // Any other entry of the library, such as the driver's own.
    void* symbol(const char* name) const { return library_.symbol(name); }

    // Whether a library of the driver's name is loaded in this process.
    static bool isLoaded();
    // The variables that name the log a device replays from its next open,
    // and the pace; an empty text removes the variable.
    static void setReplayLog(const std::string& path);
    static void setReplayPace(const std::string& pace);

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
    SimGpsReplayFinishedFn replayFinished_ = nullptr;
    SimGpsReplayAcknowledgeFn acknowledge_ = nullptr;
    SimGpsGetReplayStatusFn replayStatus_ = nullptr;
};

// A reading as the driver fills it in: version and size set, the fields of
// VALID valid and a FIXTYPE fix, everything else zero.
GPS_POSITION blankReading(uint32_t valid, uint32_t fixType);

// The driver's reading of record R: every field valid, a 3-D fix, the
// record's time, position, altitude (above the ellipsoid) and HDOP, no
// satellites.
GPS_POSITION driverReading(const GpsRecord& r);

// Holds the simulated driver library loaded (a counted reference) while the
// host may still ask it whether the replay is over, even after the provider
// has released it. The acknowledge entry is told of each position the host
// got, so that a replay paced by the host never replaces a position before
// the host has it.
class ReplayEnd {
  public:
    // Looks for the entries in the loaded driver library, then in PROVIDER.
    void resolve(const PluginModule& provider);

    bool known() const { return finished_ != nullptr; }
    bool finished() const { return finished_ != nullptr && finished_() == 1; }
    void acknowledge() const {
        if (acknowledge_ != nullptr)
            acknowledge_();
    }
    // The positions the driver delivered, or -1 when it does not say.
    long positionsDelivered() const;

    void release();

  private:
    PluginModule driver_;
    SimGpsReplayFinishedFn finished_ = nullptr;
    SimGpsReplayAcknowledgeFn acknowledge_ = nullptr;
    SimGpsGetReplayStatusFn status_ = nullptr;
};

// True when the provider's GPS library is the simulated driver and nothing
// names a log for it to replay: no position would ever come.
bool replayWithoutLog();
