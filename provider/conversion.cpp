#include "conversion.h"

#include "handover.h"

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

/* Hands over what this reading refreshed. */
void publish(bool position, bool satellites) {
    if (position)
        publishPosition(&workingRecord);
    if (satellites)
        publishSatellites(workingSatellites, workingInViewCount);
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
