// State of the simulated driver shared by its entries and its replay
// thread. Everything here is guarded by stateLock.
#pragma once

#include "gpsapi_control.h"
#include "sync.h"

namespace gpsapi {

extern Mutex stateLock;
// Notified whenever a reading is fetched or a replay is asked to stop.
extern Condition stateChanged;

// With stateLock held: makes READING the current one and returns its serial
// number (they count up from 1). FROM_REPLAY counts its fetch as the
// replay's.
uint64_t storeLocked(const GPS_POSITION& reading, bool fromReplay);
// With stateLock held: signals the new-location event of every open device.
// The lock is released for the signals (a woken reader fetches at once and
// must not find it held) and taken again before the return; a device's
// close waits until no signal of its events is under way.
void signalNewLocationReleasing();
// With stateLock held: the serial of the latest reading fetched, 0 if none.
uint64_t fetchedSerialLocked();
// With stateLock held: how many positions the host has said it received.
uint64_t hostReceiptsLocked();

// The replay's progress, with stateLock held.
struct ReplayProgress {
    SimGpsReplayStatus status;
    bool reachedEnd;     // every epoch has been delivered
    uint64_t lastSerial; // of the latest epoch delivered, 0 if none
};
ReplayProgress& replayProgressLocked();

} // namespace gpsapi
