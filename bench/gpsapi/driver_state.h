// State of the simulated driver shared by its entries and its replay
// thread. Everything here is guarded by stateLock.
#pragma once

#include "gpsapi_control.h"
#include "sync.h"

#include "../../platform/platform.h"

namespace gpsapi {

extern Mutex stateLock;
// Notified whenever a reading is fetched or a replay is asked to stop.
extern Condition stateChanged;

// With stateLock held: makes READING the current one and returns its serial
// number (they count up from 1). FROM_REPLAY counts its fetch as the
// replay's.
uint64_t storeLocked(const GPS_POSITION& reading, bool fromReplay);
// The new-location events of the open devices, gathered with stateLock
// held and signalled after it is released: a woken reader fetches at once
// and must not find the lock held. A device's close waits until no signal
// gathered before it is under way.
struct PendingSignals {
    PlatformHandle events[8];
    int count;
};
void gatherNewLocationLocked(PendingSignals* out);
void sendSignals(const PendingSignals& pending);
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
