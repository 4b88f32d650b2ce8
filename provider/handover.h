/* The hand-over between the reader thread and the host's thread: the
 * latest position and satellite set, each handed to the host's thread at
 * most once, without either thread ever waiting for the other. The reader
 * thread publishes; the host's thread fetches through descriptor slots 14
 * and 15. All state is static. */
#ifndef PROVIDER_HANDOVER_H
#define PROVIDER_HANDOVER_H

#include "../contract/plugin.h"
#include "../platform/gps_driver.h"

/* Reader side: RECORD becomes the latest position. */
void publishPosition(const GpsRecord* record);

/* Reader side: the COUNT records of TABLE (at most GPS_MAX_SATELLITES)
 * become the latest satellite set. */
void publishSatellites(const SatelliteRecord* table, uint32_t count);

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
