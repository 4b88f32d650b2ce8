#include "handover_baselines.h"

#include <cstring>
#include <mutex>

namespace {

GPS_POSITION copied;
std::mutex lock;
GpsRecord published;
SatelliteRecord publishedSatellites[SATELLITE_TABLE_SIZE];
int32_t publishedCount;
bool positionReady, satellitesReady;

} // namespace

__attribute__((noinline)) void baselineCopyReading(const GPS_POSITION& reading) {
    std::memcpy(&copied, &reading, sizeof copied);
    asm volatile("" : : "r"(&copied) : "memory");
}

__attribute__((noinline)) void baselinePublish(const GpsRecord& record,
                                               const SatelliteRecord* satellites, int32_t count) {
    std::lock_guard<std::mutex> hold(lock);
    published = record;
    std::memcpy(publishedSatellites, satellites, count * sizeof satellites[0]);
    publishedCount = count;
    positionReady = satellitesReady = true;
}

__attribute__((noinline)) int32_t baselineLockedGetPosition(GpsRecord* record) {
    std::lock_guard<std::mutex> hold(lock);
    if (!positionReady)
        return 0;
    *record = published;
    positionReady = false;
    return 1;
}

__attribute__((noinline)) int32_t baselineLockedGetSatellites(SatelliteRecord* satellites,
                                                              int32_t* count) {
    std::lock_guard<std::mutex> hold(lock);
    if (!satellitesReady)
        return 0;
    *count = publishedCount;
    std::memcpy(satellites, publishedSatellites, publishedCount * sizeof satellites[0]);
    satellitesReady = false;
    return 1;
}
