/* The provider's position reader: turns each driver reading into the host's
 * GpsRecord and satellite table, and publishes each through the hand-over
 * (handover.h). It runs on the reader thread only and reads nothing but the
 * reading it is given, so it can be fed directly. All state is static. */
#ifndef PROVIDER_CONVERSION_H
#define PROVIDER_CONVERSION_H

#include "../contract/plugin.h"
#include "../platform/gps_driver.h"

/* Valid fields that concern the position record: a reading with any of
 * them publishes a position. */
#define POSITION_RECORD_FIELDS 0x000007FFu

/* How old a reading the driver may hand out, in milliseconds. */
#define POSITION_MAXIMUM_AGE_MS 50000u

/* The reading the driver fills. It belongs to the reader thread; the
 * conversion reads nothing else, so it can be fed by filling this. */
extern GPS_POSITION positionBuffer;

/* Sets the version and size the driver expects in positionBuffer. */
void preparePositionBuffer();

/* Zeroes the working record, the satellite table and the used list, as at
 * load, so that a new run hands out nothing of the one before. Only while
 * no conversion runs: before the reader thread starts. */
void clearWorkingData();

/* One new-location signal: fetches a reading of DEVICE through FETCH into
 * positionBuffer and converts it. A failed fetch changes nothing. */
void readPosition(GPSGetPositionFn fetch, GpsHandle device);

/* Converts positionBuffer into the working record and satellite table, and
 * publishes each when the reading's valid fields concern it. */
void convertPosition();

#endif
