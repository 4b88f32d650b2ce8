// Wall time per track point through the recorder, which writes every point
// before its call returns, beside its crash-safe peer: the same line built
// with snprintf("%f") and written with fwrite and fflush. Also the longest
// single PluginSetGPSData call, the first (which creates the file and
// flushes it) and the Stop (which flushes and closes it). Runs on Linux
// and, built for Windows, under Wine.
//
//   recorder_timing [POINTS]
//
// Prints one line of key=value figures in microseconds.
#include "recorder_session.h"
#include "track_points.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Figures {
    double perPoint = 0, median = 0, max = 0, first = 0;
};

// Times every call of DELIVER over POINTS (after a first one, which
// creates the file) and the whole run.
template <typename Deliver>
Figures timePoints(const std::vector<GpsRecord>& points, Deliver deliver) {
    std::vector<double> calls;
    calls.reserve(points.size());
    const Clock::time_point beforeFirst = Clock::now();
    deliver(points[0]);
    const Clock::time_point start = Clock::now();
    for (size_t i = 1; i < points.size(); ++i) {
        const Clock::time_point before = Clock::now();
        deliver(points[i]);
        calls.push_back(micros(Clock::now() - before));
    }
    Figures f;
    f.first = micros(start - beforeFirst);
    f.perPoint = micros(Clock::now() - start) / static_cast<double>(points.size() - 1);
    std::sort(calls.begin(), calls.end());
    f.median = calls[calls.size() / 2];
    f.max = calls.back();
    return f;
}

} // namespace

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    const std::vector<GpsRecord> points = makeTrackPoints(n < 2 ? 2 : n);

    RecorderSession recorder(benchFolder("timing-recorder"));
    if (!recorder.ok()) {
        std::printf("error=cannot load the recorder\n");
        return 1;
    }
    recorder.start();
    const Figures r = timePoints(points, [&](const GpsRecord& p) { recorder.deliver(p); });
    const Clock::time_point beforeStop = Clock::now();
    recorder.stop();
    const double stop = micros(Clock::now() - beforeStop);

    std::FILE* file = nullptr;
    const std::string folder = benchFolder("timing-baseline");
    const Figures b = timePoints(points, [&](const GpsRecord& p) {
        if (file == nullptr)
            file = baselineFirstPoint(folder.c_str(), p);
        else
            baselineWritePoint(file, p);
    });
    if (file != nullptr)
        baselineClose(file);

    std::printf(
        "recorder_timing points=%zu recorder_us=%.3f recorder_median_us=%.3f recorder_max_us=%.1f "
        "baseline_us=%.3f baseline_median_us=%.3f baseline_max_us=%.1f recorder_first_us=%.1f "
        "recorder_stop_us=%.1f\n",
        points.size(), r.perPoint, r.median, r.max, b.perPoint, b.median, b.max, r.first, stop);
    return 0;
}
