/* The simulated GPS driver library ("GPSAPI.DLL" on Windows, "GPSAPI.so" on
 * Linux). Besides the driver's four entries it exports this control
 * interface, through which tests and the bench host hand it readings,
 * make its calls fail, and count what is open. Resolve these by name from
 * the already loaded library. All are C entries with PLUGIN_CALL. */
#ifndef BENCH_GPSAPI_CONTROL_H
#define BENCH_GPSAPI_CONTROL_H

#include "../../contract/base.h"
#include "../../provider/gps_driver.h"

/* Failure switches for SimGpsSetFailures. */
#define SIMGPS_FAIL_OPEN 0x1u  /* GPSOpenDevice returns null */
#define SIMGPS_FAIL_STATE 0x2u /* GPSGetDeviceState returns an error */
#define SIMGPS_FAIL_FETCH 0x4u /* GPSGetPosition returns an error */

/* What the driver has seen since load or the last SimGpsReset. */
struct SimGpsCounters {
    int32_t openDevices;     /* devices open now */
    int32_t opens;           /* successful GPSOpenDevice calls */
    int32_t closes;          /* GPSCloseDevice calls on an open device */
    int32_t fetches;         /* GPSGetPosition calls */
    int32_t stateQueries;    /* GPSGetDeviceState calls */
    int32_t callsAfterClose; /* calls naming a device that is not open */
    int32_t eventsHeld;      /* events the driver was given and still holds */
    uint32_t lastOpenFlags;
    int32_t lastOpenNameWasNull;
    uint32_t lastMaximumAge; /* of the last GPSGetPosition */
    uint32_t lastFetchFlags;
    uint32_t lastPositionVersion, lastPositionSize; /* as the caller set them */
    uint32_t lastDeviceVersion, lastDeviceSize;
};

typedef void(PLUGIN_CALL* SimGpsResetFn)(void);
/* Makes READING the driver's current position and, when SIGNAL is non-zero,
 * signals the new-location event of the open device. */
typedef void(PLUGIN_CALL* SimGpsPushReadingFn)(const GPS_POSITION* reading, int32_t signal);
/* Signals the device-state event of the open device. */
typedef void(PLUGIN_CALL* SimGpsSignalDeviceStateFn)(void);
typedef void(PLUGIN_CALL* SimGpsSetFailuresFn)(uint32_t mask);
typedef void(PLUGIN_CALL* SimGpsGetCountersFn)(SimGpsCounters* out);

#endif
