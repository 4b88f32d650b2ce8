// The simulated GPS driver as navhost sees it.
#include "replay_driver.h"

#include <cstdlib>
#include <cstring>

namespace navhost {

namespace {

// The name the driver library is loaded under.
#if defined(_WIN32)
const char kDriver[] = "GPSAPI.DLL";
#else
const char kDriver[] = "GPSAPI.so";
#endif

} // namespace

void ReplayEnd::resolve(const PluginModule& provider) {
    if (finished_ != nullptr)
        return;
    if (driver_.attach(kDriver)) {
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
    if (!driver.attach(kDriver) || driver.symbol("SimGpsReplayFinished") == nullptr)
        return false;
    const char* log = std::getenv(SIMGPS_REPLAY_LOG_VARIABLE);
    return log == nullptr || *log == 0;
}

} // namespace navhost
