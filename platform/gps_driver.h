/* The platform GPS Intermediate Driver's client interface: the structures
 * it fills, their valid-field bits, and the shapes of its four entries.
 * Offsets and sizes are the driver's, checked on every target. */
#ifndef PLATFORM_GPS_DRIVER_H
#define PLATFORM_GPS_DRIVER_H

#include "../contract/base.h"

#define GPS_MAX_SATELLITES 12

#define GPS_VERSION_1 1
#define GPS_POSITION_SIZE 344
#define GPS_DEVICE_SIZE 216

/* dwValidFields bits. */
#define GPS_VALID_UTC_TIME 0x00000001u
#define GPS_VALID_LATITUDE 0x00000002u
#define GPS_VALID_LONGITUDE 0x00000004u
#define GPS_VALID_SPEED 0x00000008u
#define GPS_VALID_HEADING 0x00000010u
#define GPS_VALID_MAGNETIC_VARIATION 0x00000020u
#define GPS_VALID_ALTITUDE_WRT_SEA_LEVEL 0x00000040u
#define GPS_VALID_ALTITUDE_WRT_ELLIPSOID 0x00000080u
#define GPS_VALID_POSITION_DILUTION_OF_PRECISION 0x00000100u
#define GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION 0x00000200u
#define GPS_VALID_VERTICAL_DILUTION_OF_PRECISION 0x00000400u
#define GPS_VALID_SATELLITE_COUNT 0x00000800u
#define GPS_VALID_SATELLITES_USED_PRNS 0x00001000u
#define GPS_VALID_SATELLITES_IN_VIEW 0x00002000u
#define GPS_VALID_SATELLITES_IN_VIEW_PRNS 0x00004000u
#define GPS_VALID_SATELLITES_IN_VIEW_ELEVATION 0x00008000u
#define GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH 0x00010000u
#define GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO 0x00020000u

/* FixType values. */
#define GPS_FIX_UNKNOWN 0
#define GPS_FIX_2D 1
#define GPS_FIX_3D 2

/* The driver's SYSTEMTIME, in UTC. */
struct GpsSystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

/* Version 1: 344 bytes. Every double sits at a multiple of 8, so the layout
 * is the same on x86 and ARM. */
struct GPS_POSITION {
    uint32_t dwVersion;
    uint32_t dwSize;
    uint32_t dwValidFields;
    uint32_t dwFlags;
    GpsSystemTime stUTCTime;
    double dblLatitude;  /* degrees, north positive */
    double dblLongitude; /* degrees, east positive */
    float flSpeed;       /* knots */
    float flHeading;     /* degrees, true north 0 */
    double dblMagneticVariation;
    float flAltitudeWRTSeaLevel;  /* metres */
    float flAltitudeWRTEllipsoid; /* metres */
    uint32_t FixQuality;          /* 0 unknown, 1 GPS, 2 DGPS */
    uint32_t FixType;             /* a GPS_FIX_* value */
    uint32_t SelectionType;
    float flPositionDilutionOfPrecision;
    float flHorizontalDilutionOfPrecision;
    float flVerticalDilutionOfPrecision;
    uint32_t dwSatelliteCount; /* used in the solution */
    uint32_t rgdwSatellitesUsedPRNs[GPS_MAX_SATELLITES];
    uint32_t dwSatellitesInView;
    uint32_t rgdwSatellitesInViewPRNs[GPS_MAX_SATELLITES];
    uint32_t rgdwSatellitesInViewElevation[GPS_MAX_SATELLITES];
    uint32_t rgdwSatellitesInViewAzimuth[GPS_MAX_SATELLITES];
    uint32_t rgdwSatellitesInViewSignalToNoiseRatio[GPS_MAX_SATELLITES];
};

/* Version 1: 216 bytes. */
struct GPS_DEVICE {
    uint32_t dwVersion;
    uint32_t dwSize;
    uint32_t dwServiceState;
    uint32_t dwDeviceState;
    uint32_t ftLastDataReceived[2]; /* a FILETIME */
    WideChar szGPSDriverPrefix[16];
    WideChar szGPSMultiplexPrefix[16];
    WideChar szGPSFriendlyName[64];
};

/* The entries, in the platform's default calling convention (cdecl for a
 * desktop x86 stand-in of the driver). */
typedef void* GpsHandle;
typedef GpsHandle (*GPSOpenDeviceFn)(GpsHandle newLocationData, GpsHandle deviceStateChange,
                                     const WideChar* deviceName, uint32_t flags);
typedef uint32_t (*GPSCloseDeviceFn)(GpsHandle device);
typedef uint32_t (*GPSGetPositionFn)(GpsHandle device, GPS_POSITION* position,
                                     uint32_t maximumAgeMs, uint32_t flags);
typedef uint32_t (*GPSGetDeviceStateFn)(GPS_DEVICE* device);

CONTRACT_STATIC_ASSERT(sizeof(GpsSystemTime) == 16, systemtime_size);
CONTRACT_STATIC_ASSERT(sizeof(GPS_POSITION) == GPS_POSITION_SIZE, gps_position_size);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dwVersion) == 0, pos_version);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dwSize) == 4, pos_size);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dwValidFields) == 8, pos_valid);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dwFlags) == 12, pos_flags);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) == 16, pos_time);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) + offsetof(GpsSystemTime, wMonth) == 18,
                       pos_month);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) + offsetof(GpsSystemTime, wDayOfWeek) ==
                           20,
                       pos_dow);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) + offsetof(GpsSystemTime, wDay) == 22,
                       pos_day);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) + offsetof(GpsSystemTime, wHour) == 24,
                       pos_hour);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) + offsetof(GpsSystemTime, wMinute) == 26,
                       pos_minute);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) + offsetof(GpsSystemTime, wSecond) == 28,
                       pos_second);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) + offsetof(GpsSystemTime, wMilliseconds) ==
                           30,
                       pos_ms);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dblLatitude) == 32, pos_lat);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dblLongitude) == 40, pos_lon);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, flSpeed) == 48, pos_speed);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, flHeading) == 52, pos_heading);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dblMagneticVariation) == 56, pos_magvar);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, flAltitudeWRTSeaLevel) == 64, pos_alt_sea);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, flAltitudeWRTEllipsoid) == 68, pos_alt_ell);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, FixQuality) == 72, pos_quality);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, FixType) == 76, pos_fix_type);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, SelectionType) == 80, pos_selection);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, flPositionDilutionOfPrecision) == 84, pos_pdop);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, flHorizontalDilutionOfPrecision) == 88, pos_hdop);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, flVerticalDilutionOfPrecision) == 92, pos_vdop);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dwSatelliteCount) == 96, pos_sat_count);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, rgdwSatellitesUsedPRNs) == 100, pos_used);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, dwSatellitesInView) == 148, pos_in_view);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, rgdwSatellitesInViewPRNs) == 152, pos_view_prns);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, rgdwSatellitesInViewElevation) == 200, pos_elev);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, rgdwSatellitesInViewAzimuth) == 248, pos_azimuth);
CONTRACT_STATIC_ASSERT(offsetof(GPS_POSITION, rgdwSatellitesInViewSignalToNoiseRatio) == 296,
                       pos_snr);

CONTRACT_STATIC_ASSERT(sizeof(GPS_DEVICE) == GPS_DEVICE_SIZE, gps_device_size);
CONTRACT_STATIC_ASSERT(offsetof(GPS_DEVICE, dwServiceState) == 8, dev_service);
CONTRACT_STATIC_ASSERT(offsetof(GPS_DEVICE, dwDeviceState) == 12, dev_state);
CONTRACT_STATIC_ASSERT(offsetof(GPS_DEVICE, ftLastDataReceived) == 16, dev_last);
CONTRACT_STATIC_ASSERT(offsetof(GPS_DEVICE, szGPSDriverPrefix) == 24, dev_driver_prefix);
CONTRACT_STATIC_ASSERT(offsetof(GPS_DEVICE, szGPSMultiplexPrefix) == 56, dev_mux_prefix);
CONTRACT_STATIC_ASSERT(offsetof(GPS_DEVICE, szGPSFriendlyName) == 88, dev_name);

#endif
