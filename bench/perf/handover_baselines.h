// Baselines for the provider's figures: what the same hand-over costs done
// the plain way, with a mutex around every poll, and the bare copy of a
// driver reading. Kept out of line so that instruction counts can be taken
// on exactly these functions.
#pragma once

#include "../../contract/gps_record.h"
#include "../../platform/gps_driver.h"

// Takes a copy of the 344-byte reading: the least a conversion could do.
void baselineCopyReading(const GPS_POSITION& reading);

// Publishes a record and a satellite set under a mutex.
void baselinePublish(const GpsRecord& record, const SatelliteRecord* satellites, int32_t count);

// Polls as slots 14 and 15 do, but under a mutex: 1 and a copy when a
// publication is new, else 0.
int32_t baselineLockedGetPosition(GpsRecord* record);
int32_t baselineLockedGetSatellites(SatelliteRecord* satellites, int32_t* count);
