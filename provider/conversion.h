/* The provider's position reader: turns each driver reading into the host's
 * GpsRecord and satellite table, and hands the latest of each to the host's
 * thread at most once, without either thread ever waiting for the other.
 * The reader thread converts and publishes; the host's thread fetches
 * through descriptor slots 14 and 15. All state is static. */
#ifndef PROVIDER_CONVERSION_H
#define PROVIDER_CONVERSION_H

#include "../contract/plugin.h"
#include "gps_driver.h"

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

/* Forgets any publication the host has not fetched. Only while no
 * conversion runs: the reader thread has ended or not yet started. */
void withdrawPublications();

/* Slot 14: copies the latest unfetched position into RECORD and returns 1,
 * or returns 0 and leaves RECORD untouched. */
int32_t PLUGIN_CALL PluginGetPosition(GpsRecord* record);

/* Slot 15: copies the latest unfetched satellite set into SATELLITES (at
 * most GPS_MAX_SATELLITES records; the host offers SATELLITE_TABLE_SIZE),
 * its size into COUNT, and returns 1; or returns 0 and writes nothing. */
int32_t PLUGIN_CALL PluginGetSatellites(SatelliteRecord* satellites, int32_t* count);

#endif
