/* The simulated GPS driver library ("GPSAPI.DLL" on Windows, "GPSAPI.so" on
 * Linux). Besides the driver's four entries it exports this control
 * interface, through which tests and the bench host hand it readings,
 * make its calls fail, and count what is open. Resolve these by name from
 * the already loaded library. All are C entries with PLUGIN_CALL. */
#ifndef BENCH_GPSAPI_CONTROL_H
#define BENCH_GPSAPI_CONTROL_H

#include "../../contract/base.h"
#include "../../platform/gps_driver.h"

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

/* ---- Replay of a recorded NMEA 0183 log ----
 *
 * When the environment variable GPSAPI_REPLAY_LOG names a file at a
 * GPSOpenDevice while no device is open, the driver replays that log on a
 * thread of its own until the last open device is closed. Each epoch of the
 * log (the sentences that share one UTC time) becomes the current reading,
 * and the new-location event of every open device is signalled once.
 * GPSAPI_REPLAY_PACE sets the pace:
 *   unset, empty or "1"  the log's own rate: the gaps between epoch times,
 *                        each at most 10 seconds;
 *   a number N > 0       N times the log's rate ("10" ten times faster,
 *                        "0.5" half as fast);
 *   "host"               the next epoch once the previous one was fetched
 *                        with GPSGetPosition and, when it carried any
 *                        position field, once the host has called
 *                        SimGpsReplayAcknowledge for the position it got (at
 *                        most 5 s), so that no position is replaced before
 *                        the host sees it, however slowly the host polls.
 *                        (Pacing by the fetch alone lost positions between
 *                        provider and host, so there is no such pace.)
 * When the log cannot be opened or the pace is not understood, GPSOpenDevice
 * fails (returns null) and says why on the standard error stream. Without
 * GPSAPI_REPLAY_LOG the driver only gives what SimGpsPushReading hands it;
 * readings pushed during a replay are delivered as well. */
#define SIMGPS_REPLAY_LOG_VARIABLE "GPSAPI_REPLAY_LOG"
#define SIMGPS_REPLAY_PACE_VARIABLE "GPSAPI_REPLAY_PACE"

/* The latest replay, from its start at GPSOpenDevice; kept after it ends
 * until the next replay starts. SimGpsReset does not clear it. */
struct SimGpsReplayStatus {
    int32_t running;            /* the replay thread runs */
    int32_t finished;           /* as SimGpsReplayFinished */
    int32_t epochsDelivered;    /* epochs made the current reading */
    int32_t epochsFetched;      /* of those, fetched at least once */
    int32_t sentencesUsed;      /* GGA, RMC, GSA, GSV read from the log */
    int32_t sentencesRejected;  /* bad checksum, unreadable field or too long */
    int32_t positionsDelivered; /* of those, with any position field */
};
/* 1 once the replay has delivered every epoch of the log and the last one
 * has been fetched; otherwise 0, also when no replay has run. A host polls
 * it to learn that the log has ended. */
typedef int32_t(PLUGIN_CALL* SimGpsReplayFinishedFn)(void);
typedef void(PLUGIN_CALL* SimGpsGetReplayStatusFn)(SimGpsReplayStatus* out);
/* A host calls this each time it has received a position from the provider;
 * the "host" pace waits for it. */
typedef void(PLUGIN_CALL* SimGpsReplayAcknowledgeFn)(void);

#endif
