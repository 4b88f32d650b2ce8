// Times of the plugins' hot paths beside their baselines, with Google
// Benchmark. The plugins are loaded through the system's loader and driven
// through their descriptors, as a host drives them.
#include "handover_baselines.h"
#include "provider_session.h"
#include "recorder_session.h"
#include "track_points.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

namespace {

const size_t kPointSet = 4096;
// Points per recording period before the file starts over, so that a long
// run does not fill the disk.
const int64_t kPeriodPoints = 1 << 16;

const std::vector<GpsRecord>& points() {
    static const std::vector<GpsRecord> set = makeTrackPoints(kPointSet);
    return set;
}

void RecorderPoint(benchmark::State& state) {
    RecorderSession recorder(benchFolder("bench-recorder-point"));
    if (!recorder.ok()) {
        state.SkipWithError("cannot load the recorder");
        return;
    }
    const std::vector<GpsRecord>& set = points();
    recorder.start();
    recorder.deliver(set[0]);
    int64_t i = 1;
    for (auto _ : state) {
        recorder.deliver(set[i % kPointSet]);
        if (++i % kPeriodPoints == 0) {
            state.PauseTiming();
            recorder.stop();
            recorder.removeTracks();
            recorder.start();
            recorder.deliver(set[0]);
            state.ResumeTiming();
        }
    }
    recorder.stop();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RecorderPoint);

void BaselinePoint(benchmark::State& state) {
    const std::string folder = benchFolder("bench-baseline-point");
    const std::vector<GpsRecord>& set = points();
    std::FILE* file = baselineFirstPoint(folder.c_str(), set[0]);
    if (file == nullptr) {
        state.SkipWithError("cannot create the file");
        return;
    }
    int64_t i = 1;
    for (auto _ : state) {
        baselineWritePoint(file, set[i % kPointSet]);
        if (++i % kPeriodPoints == 0) {
            state.PauseTiming();
            baselineClose(file);
            file = baselineFirstPoint(folder.c_str(), set[0]);
            state.ResumeTiming();
        }
    }
    baselineClose(file);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BaselinePoint);

// The first point of a period: file creation, header and the point. The
// stop that closes the file is left out of the time.
void RecorderFirstPoint(benchmark::State& state) {
    RecorderSession recorder(benchFolder("bench-recorder-first"));
    if (!recorder.ok()) {
        state.SkipWithError("cannot load the recorder");
        return;
    }
    const std::vector<GpsRecord>& set = points();
    int64_t i = 0;
    for (auto _ : state) {
        recorder.start();
        recorder.deliver(set[i++ % kPointSet]);
        state.PauseTiming();
        recorder.stop();
        recorder.removeTracks();
        state.ResumeTiming();
    }
}
BENCHMARK(RecorderFirstPoint);

void BaselineFirstPoint(benchmark::State& state) {
    const std::string folder = benchFolder("bench-baseline-first");
    const std::vector<GpsRecord>& set = points();
    int64_t i = 0;
    for (auto _ : state) {
        std::FILE* file = baselineFirstPoint(folder.c_str(), set[i++ % kPointSet]);
        state.PauseTiming();
        if (file != nullptr)
            baselineClose(file);
        state.ResumeTiming();
    }
}
BENCHMARK(BaselineFirstPoint);

// ---- Provider ----
//
// The polls go through the loaded library; the conversion and the
// hand-over are timed in conversion_bench.cpp.

void ProviderIdlePolls(benchmark::State& state) {
    ProviderSession provider;
    if (*provider.error() != 0) {
        state.SkipWithError(provider.error());
        return;
    }
    GpsRecord r;
    SatelliteRecord sats[SATELLITE_TABLE_SIZE];
    int32_t count = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(provider.getPosition(&r));
        benchmark::DoNotOptimize(provider.getSatellites(sats, &count));
    }
}
BENCHMARK(ProviderIdlePolls);

void BaselineIdlePolls(benchmark::State& state) {
    GpsRecord r;
    SatelliteRecord sats[SATELLITE_TABLE_SIZE];
    int32_t count = 0;
    // Nothing is published, so both stay idle.
    for (auto _ : state) {
        benchmark::DoNotOptimize(baselineLockedGetPosition(&r));
        benchmark::DoNotOptimize(baselineLockedGetSatellites(sats, &count));
    }
}
BENCHMARK(BaselineIdlePolls);

} // namespace

BENCHMARK_MAIN();
