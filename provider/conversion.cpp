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
const uint32_t kWholeTableFields = kInViewFields | GPS_VALID_SATELLITES_IN_VIEW_ELEVATION |
                                   GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH |
                                   GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO;

/* Knots to kilometres per hour: 1.852 in single precision, 0x3FED0E56. */
const float kKnotsToKmh = 1.852f;

/* The reader thread's own state. Each field of the working record and
 * table keeps its last valid value until the driver marks it valid again.
 * The used list is kept as a set of PRN bits, so that marking the table
 * costs one bit test per satellite. */
GpsRecord workingRecord;
uint32_t usedPrnBits[256 / 32];
SatelliteRecord workingSatellites[SATELLITE_TABLE_SIZE];
uint32_t workingInViewCount;

/* The hand-over: a triple buffer per published item. The reader fills the
 * buffer it owns and swaps it into the middle with one exchange, marked
 * fresh; the host swaps the buffer it owns for the middle one with one
 * exchange, only when that is fresh. Neither side ever waits, spins or
 * retries on the other, each publication reaches the host at most once,
 * and a buffer is never written while the host copies from it. */
const int32_t kFresh = 4;
const int32_t kIndexMask = 3;

struct HandOver {
    volatile int32_t middle; /* index | kFresh; shared */
    int32_t back;            /* the reader's buffer */
    int32_t front;           /* the host's buffer */
};

struct SatelliteSet {
    uint32_t count;
    SatelliteRecord table[GPS_MAX_SATELLITES];
};

HandOver positionHandOver = {0, 1, 2};
HandOver satelliteHandOver = {0, 1, 2};
GpsRecord publishedRecords[3];
SatelliteSet publishedSets[3];

/* Reader side: the buffer just filled becomes the middle one. */
void handOver(HandOver* h) {
    h->back = atomicExchange(&h->middle, h->back | kFresh) & kIndexMask;
}

/* Host side: the index of a fresh buffer, now the host's own, or -1. The
 * first load is plain: a poll with nothing new costs a load and a test. */
int32_t takeOver(HandOver* h) {
    if ((atomicLoadRelaxed(&h->middle) & kFresh) == 0)
        return -1;
    h->front = atomicExchange(&h->middle, h->front) & kIndexMask;
    return h->front;
}

/* 1 when PRN is among the reading's used satellites. */
inline uint8_t usedFlag(uint32_t prn) {
    return static_cast<uint8_t>(usedPrnBits[prn >> 5] >> (prn & 31) & 1u);
}

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
        const uint32_t usedCount = clipCount(p.dwSatelliteCount);
        for (uint32_t w = 0; w < sizeof usedPrnBits / sizeof usedPrnBits[0]; ++w)
            usedPrnBits[w] = 0;
        for (uint32_t i = 0; i < usedCount; ++i) {
            const uint32_t prn = p.rgdwSatellitesUsedPRNs[i] & 0xFFu;
            usedPrnBits[prn >> 5] |= 1u << (prn & 31);
        }
    }

    if ((valid & kInViewFields) == kInViewFields) {
        workingInViewCount = clipCount(p.dwSatellitesInView);
        /* The usual reading: a whole new table, every entry written in
         * one pass. */
        if ((valid & kWholeTableFields) == kWholeTableFields) {
            for (uint32_t i = 0; i < workingInViewCount; ++i) {
                SatelliteRecord& s = workingSatellites[i];
                const uint32_t prn = p.rgdwSatellitesInViewPRNs[i] & 0xFFu;
                s.prn = static_cast<uint8_t>(prn);
                s.used = usedFlag(prn);
                s.elevation = p.rgdwSatellitesInViewElevation[i];
                s.azimuth = static_cast<uint16_t>(p.rgdwSatellitesInViewAzimuth[i]);
                s.snr = p.rgdwSatellitesInViewSignalToNoiseRatio[i];
            }
            return;
        }
        for (uint32_t i = 0; i < workingInViewCount; ++i) {
            SatelliteRecord& s = workingSatellites[i];
            const uint32_t prn = p.rgdwSatellitesInViewPRNs[i] & 0xFFu;
            s.prn = static_cast<uint8_t>(prn);
            s.used = usedFlag(prn);
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

/* Copies what this reading refreshed into the reader's buffers and hands
 * each over. */
void publish(bool position, bool satellites) {
    if (position) {
        memcpy(&publishedRecords[positionHandOver.back], &workingRecord, sizeof workingRecord);
        handOver(&positionHandOver);
    }
    if (satellites) {
        SatelliteSet& set = publishedSets[satelliteHandOver.back];
        set.count = workingInViewCount;
        memcpy(set.table, workingSatellites, workingInViewCount * sizeof set.table[0]);
        handOver(&satelliteHandOver);
    }
}

} // namespace

void preparePositionBuffer() {
    positionBuffer.dwVersion = GPS_VERSION_1;
    positionBuffer.dwSize = GPS_POSITION_SIZE;
}

void clearWorkingData() {
    workingRecord = GpsRecord();
    for (uint32_t w = 0; w < sizeof usedPrnBits / sizeof usedPrnBits[0]; ++w)
        usedPrnBits[w] = 0;
    for (uint32_t i = 0; i < SATELLITE_TABLE_SIZE; ++i)
        workingSatellites[i] = SatelliteRecord();
    workingInViewCount = 0;
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

void withdrawPublications() {
    atomicStoreRelease(&positionHandOver.middle, positionHandOver.middle & kIndexMask);
    atomicStoreRelease(&satelliteHandOver.middle, satelliteHandOver.middle & kIndexMask);
}

int32_t PLUGIN_CALL PluginGetPosition(GpsRecord* record) {
    const int32_t taken = takeOver(&positionHandOver);
    if (taken < 0)
        return 0;
    memcpy(record, &publishedRecords[taken], sizeof *record);
    return 1;
}

int32_t PLUGIN_CALL PluginGetSatellites(SatelliteRecord* satellites, int32_t* count) {
    const int32_t taken = takeOver(&satelliteHandOver);
    if (taken < 0)
        return 0;
    const SatelliteSet& set = publishedSets[taken];
    *count = static_cast<int32_t>(set.count);
    memcpy(satellites, set.table, set.count * sizeof set.table[0]);
    return 1;
}
