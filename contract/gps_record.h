/* navplugin/gps_record.h: the two binary records exchanged between the host
 * and the plugins. Every offset and width below is part of the contract
 * (checked at compile time, in C and C++); all values are little-endian and
 * floats are IEEE-754 single precision. The records are plain data, copied
 * byte for byte; neither side keeps a pointer to the other's record. */
#ifndef CONTRACT_GPS_RECORD_H
#define CONTRACT_GPS_RECORD_H

#include "base.h"

/* Fix codes carried in GpsRecord::fixStatus. The recorder treats any
 * non-zero value as a usable position; the provider never produces 1. */
enum FixStatus { FIX_NONE = 0, FIX_2D = 2, FIX_3D = 3 };
typedef enum FixStatus FixStatus;

/* One position, 44 bytes. A provider fills the caller's record in
 * PluginGetPosition; a recorder reads the host's record during
 * PluginSetGPSData only and keeps no pointer to it. */
typedef struct GpsRecord GpsRecord;
struct GpsRecord {
    float longitude;       /* degrees, east positive */
    float latitude;        /* degrees, north positive */
    float altitude;        /* metres (the provider's is above the ellipsoid) */
    float speed;           /* kilometres per hour */
    float heading;         /* degrees */
    float pdop;            /* position dilution of precision */
    float hdop;            /* horizontal dilution of precision */
    float vdop;            /* vertical dilution of precision */
    int32_t year;          /* UTC year, four digits */
    uint8_t fixStatus;     /* a FixStatus code */
    uint8_t day;           /* UTC day of month; note: day comes before month */
    uint8_t month;         /* UTC month, 1 to 12 */
    uint8_t hour;          /* UTC hour */
    uint8_t minute;        /* UTC minute */
    uint8_t second;        /* UTC second */
    uint16_t milliseconds; /* UTC milliseconds */
};

/* One satellite in view, 16 bytes. A set travels as an array of these and a
 * separate 32-bit count. */
typedef struct SatelliteRecord SatelliteRecord;
struct SatelliteRecord {
    uint16_t prn;        /* satellite number, low 8 bits of the driver's */
    uint16_t azimuth;    /* degrees, low 16 bits of the driver's */
    uint32_t elevation;  /* degrees */
    uint32_t snr;        /* signal-to-noise ratio */
    uint8_t used;        /* 1 when used in the position solution */
    uint8_t reserved[3]; /* never written; zero */
};

/* The provider's satellite table, and so the room a host must offer. */
#define SATELLITE_TABLE_SIZE 24

CONTRACT_STATIC_ASSERT(sizeof(GpsRecord) == 44, gps_record_size);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, longitude) == 0, longitude);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, latitude) == 4, latitude);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, altitude) == 8, altitude);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, speed) == 12, speed);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, heading) == 16, heading);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, pdop) == 20, pdop);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, hdop) == 24, hdop);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, vdop) == 28, vdop);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, year) == 32, year);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, fixStatus) == 36, fix_status);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, day) == 37, day);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, month) == 38, month);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, hour) == 39, hour);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, minute) == 40, minute);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, second) == 41, second);
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, milliseconds) == 42, milliseconds);

CONTRACT_STATIC_ASSERT(sizeof(SatelliteRecord) == 16, satellite_record_size);
CONTRACT_STATIC_ASSERT(offsetof(SatelliteRecord, prn) == 0, prn);
CONTRACT_STATIC_ASSERT(offsetof(SatelliteRecord, azimuth) == 2, azimuth);
CONTRACT_STATIC_ASSERT(offsetof(SatelliteRecord, elevation) == 4, elevation);
CONTRACT_STATIC_ASSERT(offsetof(SatelliteRecord, snr) == 8, snr);
CONTRACT_STATIC_ASSERT(offsetof(SatelliteRecord, used) == 12, used);

#endif
