#include "handover.h"

#include "../platform/atomic.h"

#include <string.h>

namespace {

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

} // namespace

void publishPosition(const GpsRecord* record) {
    memcpy(&publishedRecords[positionHandOver.back], record, sizeof *record);
    handOver(&positionHandOver);
}

void publishSatellites(const SatelliteRecord* table, uint32_t count) {
    SatelliteSet& set = publishedSets[satelliteHandOver.back];
    set.count = count;
    memcpy(set.table, table, count * sizeof set.table[0]);
    handOver(&satelliteHandOver);
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
