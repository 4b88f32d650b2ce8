#include "conversion.h"

#include "../platform/atomic.h"

#include <string.h>

GPS_POSITION positionBuffer;

namespace {

/* Valid fields that concern the position record, and the satellite data. */
const uint32_t kPositionFields = POSITION_RECORD_FIELDS;
const uint32_t kSatelliteFields = 0x0003F800u;
const uint32_t kUsedListFields = GPS_VALID_SATELLITE_COUNT | GPS_VALID_SATELLITES_USED_PRNS;
const uint32_t kInViewFields = GPS_VALID_SATELLITES_IN_VIEW | GPS_VALID_SATELLITES_IN_VIEW_PRNS;

/* Knots to kilometres per hour: 1.852 in single precision, 0x3FED0E56. */
const float kKnotsToKmh = 1.852f;

/* The reader thread's own state. Each field of the working record and
 * table keeps its last valid value until the driver marks it valid again. */
GpsRecord workingRecord;
uint8_t usedPrns[SATELLITE_TABLE_SIZE];
uint32_t usedCount;
SatelliteRecord workingSatellites[SATELLITE_TABLE_SIZE];
uint32_t workingInViewCount;

/* Shared with the host's thread. The published copies are written and read
 * only under handOverLock, and only for the copy; the ready flags are set
 * and cleared under it too, but may be read without it, so that a poll
 * finding nothing new never waits for the reader thread. */
SpinLock handOverLock;
GpsRecord publishedRecord;
SatelliteRecord publishedSatellites[SATELLITE_TABLE_SIZE];
uint32_t publishedInViewCount;
volatile int32_t positionReady;
volatile int32_t satellitesReady;

/* The driver's arrays hold GPS_MAX_SATELLITES entries whatever count it
 * reports; a larger count (a negative one included) is taken as full. */
uint32_t clipCount(uint32_t count) {
    return count > GPS_MAX_SATELLITES ? GPS_MAX_SATELLITES : count;
}

uint8_t fixStatusOf(uint32_t fixType) {
    switch (fixType) {
    case GPS_FIX_2D:
        return FIX_2D;
    case GPS_FIX_3D:
        return FIX_3D;
    default:
        return FIX_NONE;
    }
}

void convertRecord(const GPS_POSITION& p, uint32_t valid) {
    GpsRecord& r = workingRecord;
    if (valid & GPS_VALID_LATITUDE)
        r.latitude = static_cast<float>(p.dblLatitude);
    if (valid & GPS_VALID_LONGITUDE)
        r.longitude = static_cast<float>(p.dblLongitude);
    /* Receivers that give no geoid separation leave only the sea-level
     * altitude; keeping the previous altitude would be plainly wrong. */
    if (valid & GPS_VALID_ALTITUDE_WRT_ELLIPSOID)
        r.altitude = p.flAltitudeWRTEllipsoid;
    else if (valid & GPS_VALID_ALTITUDE_WRT_SEA_LEVEL)
        r.altitude = p.flAltitudeWRTSeaLevel;
    if (valid & GPS_VALID_SPEED)
        r.speed = p.flSpeed * kKnotsToKmh;
    if (valid & GPS_VALID_HEADING)
        r.heading = p.flHeading;
    if (valid & GPS_VALID_POSITION_DILUTION_OF_PRECISION)
        r.pdop = p.flPositionDilutionOfPrecision;
    if (valid & GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION)
        r.hdop = p.flHorizontalDilutionOfPrecision;
    if (valid & GPS_VALID_VERTICAL_DILUTION_OF_PRECISION)
        r.vdop = p.flVerticalDilutionOfPrecision;
    if (valid & GPS_VALID_UTC_TIME) {
        const GpsSystemTime& t = p.stUTCTime;
        r.year = t.wYear;
        r.day = static_cast<uint8_t>(t.wDay);
        r.month = static_cast<uint8_t>(t.wMonth);
        r.hour = static_cast<uint8_t>(t.wHour);
        r.minute = static_cast<uint8_t>(t.wMinute);
        r.second = static_cast<uint8_t>(t.wSecond);
        r.milliseconds = t.wMilliseconds;
    }
}

/* The used list is rebuilt before the table marks its entries, so that the
 * marks of one reading reflect that same reading. */
void convertSatellites(const GPS_POSITION& p, uint32_t valid) {
    if ((valid & kUsedListFields) == kUsedListFields) {
        usedCount = clipCount(p.dwSatelliteCount);
        for (uint32_t i = 0; i < usedCount; ++i)
            usedPrns[i] = static_cast<uint8_t>(p.rgdwSatellitesUsedPRNs[i]);
    }

    if ((valid & kInViewFields) == kInViewFields) {
        workingInViewCount = clipCount(p.dwSatellitesInView);
        for (uint32_t i = 0; i < workingInViewCount; ++i) {
            SatelliteRecord& s = workingSatellites[i];
            const uint8_t prn = static_cast<uint8_t>(p.rgdwSatellitesInViewPRNs[i]);
            s.prn = prn;
            s.used = 0;
            for (uint32_t u = 0; u < usedCount; ++u) {
                if (usedPrns[u] == prn) {
                    s.used = 1;
                    break;
                }
            }
        }
    }

    /* Updates apply to the current table, new or kept. */
    const uint32_t n = workingInViewCount;
    if (valid & GPS_VALID_SATELLITES_IN_VIEW_ELEVATION) {
        for (uint32_t i = 0; i < n; ++i)
            workingSatellites[i].elevation = p.rgdwSatellitesInViewElevation[i];
    }
    if (valid & GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH) {
        for (uint32_t i = 0; i < n; ++i)
            workingSatellites[i].azimuth = static_cast<uint16_t>(p.rgdwSatellitesInViewAzimuth[i]);
    }
    if (valid & GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO) {
        for (uint32_t i = 0; i < n; ++i)
            workingSatellites[i].snr = p.rgdwSatellitesInViewSignalToNoiseRatio[i];
    }
}

/* Copies what this reading refreshed into the shared copies and announces
 * it. The release store orders each flag after the data it announces. */
void publish(bool position, bool satellites) {
    if (!position && !satellites)
        return;
    spinLockAcquire(&handOverLock);
    if (position) {
        memcpy(&publishedRecord, &workingRecord, sizeof publishedRecord);
        atomicStoreRelease(&positionReady, 1);
    }
    if (satellites) {
        publishedInViewCount = workingInViewCount;
        memcpy(publishedSatellites, workingSatellites,
               workingInViewCount * sizeof publishedSatellites[0]);
        atomicStoreRelease(&satellitesReady, 1);
    }
    spinLockRelease(&handOverLock);
}

} // namespace

void preparePositionBuffer() {
    positionBuffer.dwVersion = GPS_VERSION_1;
    positionBuffer.dwSize = GPS_POSITION_SIZE;
}

void readPosition(GPSGetPositionFn fetch, GpsHandle device) {
    preparePositionBuffer();
    if (fetch(device, &positionBuffer, POSITION_MAXIMUM_AGE_MS, 0) != 0)
        return;
    convertPosition();
}

void convertPosition() {
    const GPS_POSITION& p = positionBuffer;
    const uint32_t valid = p.dwValidFields;
    /* The fix status follows every reading, but a change of it alone is
     * not published. */
    workingRecord.fixStatus = fixStatusOf(p.FixType);
    convertRecord(p, valid);
    convertSatellites(p, valid);
    publish((valid & kPositionFields) != 0, (valid & kSatelliteFields) != 0);
}

int32_t PLUGIN_CALL PluginGetPosition(GpsRecord* record) {
    if (atomicLoadAcquire(&positionReady) == 0)
        return 0;
    spinLockAcquire(&handOverLock);
    const int32_t ready = atomicLoadAcquire(&positionReady);
    if (ready != 0) {
        memcpy(record, &publishedRecord, sizeof publishedRecord);
        atomicStoreRelease(&positionReady, 0);
    }
    spinLockRelease(&handOverLock);
    return ready != 0 ? 1 : 0;
}

int32_t PLUGIN_CALL PluginGetSatellites(SatelliteRecord* satellites, int32_t* count) {
    if (atomicLoadAcquire(&satellitesReady) == 0)
        return 0;
    spinLockAcquire(&handOverLock);
    const int32_t ready = atomicLoadAcquire(&satellitesReady);
    if (ready != 0) {
        *count = static_cast<int32_t>(publishedInViewCount);
        memcpy(satellites, publishedSatellites,
               publishedInViewCount * sizeof publishedSatellites[0]);
        atomicStoreRelease(&satellitesReady, 0);
    }
    spinLockRelease(&handOverLock);
    return ready != 0 ? 1 : 0;
}
