// The replay of a recorded NMEA log on a thread inside the simulated driver.
// The driver starts it when the first device opens and stops it when the
// last one closes; both calls come from the driver's own open and close,
// which never run at the same time.
#pragma once

namespace gpsapi {

enum class ReplayStart {
    kNotConfigured, // no log named: nothing to replay
    kStarted,
    kFailed, // the log cannot be read or the pace is not understood
};

// Reads the environment, opens the log and starts the thread.
ReplayStart replayStart();
bool replayRunning();
// Asks the thread to end and waits for it. Call without stateLock held.
void replayStop();

} // namespace gpsapi
