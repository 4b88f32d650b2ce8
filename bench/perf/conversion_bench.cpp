// The provider's conversion and hand-over, timed on the provider's own code
// built into the benchmark program, beside a copy and a mutex-guarded
// hand-over of the same data.
#include "handover_baselines.h"
#include "provider_session.h"

#include "../../provider/conversion.h"
#include "../../provider/handover.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

void ProviderConvert(benchmark::State& state) {
    const GPS_POSITION reading = fullReading(1);
    std::memcpy(&positionBuffer, &reading, sizeof reading);
    for (auto _ : state)
        convertPosition();
}
BENCHMARK(ProviderConvert);

void BaselineCopyReading(benchmark::State& state) {
    const GPS_POSITION reading = fullReading(1);
    for (auto _ : state)
        baselineCopyReading(reading);
}
BENCHMARK(BaselineCopyReading);

// A reading converted and published, then both halves fetched.
void ProviderHandOver(benchmark::State& state) {
    const GPS_POSITION reading = fullReading(1);
    std::memcpy(&positionBuffer, &reading, sizeof reading);
    GpsRecord r;
    SatelliteRecord sats[SATELLITE_TABLE_SIZE];
    int32_t count = 0;
    for (auto _ : state) {
        convertPosition();
        benchmark::DoNotOptimize(PluginGetPosition(&r));
        benchmark::DoNotOptimize(PluginGetSatellites(sats, &count));
    }
}
BENCHMARK(ProviderHandOver);

void BaselineHandOver(benchmark::State& state) {
    const GPS_POSITION reading = fullReading(1);
    GpsRecord r;
    std::memset(&r, 0, sizeof r);
    SatelliteRecord sats[SATELLITE_TABLE_SIZE];
    std::memset(sats, 0, sizeof sats);
    int32_t count = 0;
    for (auto _ : state) {
        baselineCopyReading(reading);
        baselinePublish(r, sats, GPS_MAX_SATELLITES);
        benchmark::DoNotOptimize(baselineLockedGetPosition(&r));
        benchmark::DoNotOptimize(baselineLockedGetSatellites(sats, &count));
    }
}
BENCHMARK(BaselineHandOver);

} // namespace
