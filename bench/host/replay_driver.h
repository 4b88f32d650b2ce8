// The simulated GPS driver as navhost sees it: whether its replay is over,
// how many positions it delivered, whether it has a log to replay at all.
#pragma once

#include "../gpsapi/gpsapi_control.h"

#include "plugin_loader.h"

namespace navhost {

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

} // namespace navhost
