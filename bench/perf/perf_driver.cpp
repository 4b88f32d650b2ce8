// Runs one plugin operation N times, for instruction counts under
// callgrind (collection toggled on the operation's own function, so that
// only that code is counted), and the checks that go with the figures:
// identical bytes and heap allocations.
//
//   perf_driver OP N
#include "alloc_count.h"
#include "recorder_session.h"
#include "track_points.h"

#include "../../tests/support/test_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

// One recording period's points are this many at most; the set repeats.
const size_t kPointSet = 4096;

int usage() {
    std::fprintf(stderr,
                 "usage: perf_driver OP N\n"
                 "  recorder-point, baseline-point  N points in steady state\n"
                 "  recorder-first, baseline-first  N periods of one point each\n"
                 "  check-bytes                     N points through both, compared\n"
                 "  allocations                     heap allocations in every entry\n"
                 "  nmea                            the N track points as NMEA, to stdout\n");
    return 2;
}

std::string onlyFileIn(const std::string& folder) {
    std::vector<std::string> files = listFiles(folder);
    return files.size() == 1 ? folder + files[0] : std::string();
}

int recorderPoints(size_t n) {
    const std::vector<GpsRecord> points = makeTrackPoints(kPointSet);
    RecorderSession recorder(benchFolder("recorder-point"));
    if (!recorder.ok())
        return 1;
    recorder.start();
    recorder.deliver(points[0]);
    for (size_t i = 1; i <= n; ++i)
        recorder.deliver(points[i % kPointSet]);
    recorder.stop();
    return 0;
}

int baselinePoints(size_t n) {
    const std::vector<GpsRecord> points = makeTrackPoints(kPointSet);
    std::FILE* file = baselineFirstPoint(benchFolder("baseline-point").c_str(), points[0]);
    if (file == nullptr)
        return 1;
    for (size_t i = 1; i <= n; ++i)
        baselineWritePoint(file, points[i % kPointSet]);
    baselineClose(file);
    return 0;
}

// A first period warms the clock's time zone and the file system; the
// measured ones follow.
int recorderFirstPoints(size_t n) {
    const std::vector<GpsRecord> points = makeTrackPoints(kPointSet);
    RecorderSession recorder(benchFolder("recorder-first"));
    if (!recorder.ok())
        return 1;
    for (size_t i = 0; i <= n; ++i) {
        recorder.start();
        recorder.deliver(points[i % kPointSet]);
        recorder.stop();
    }
    return 0;
}

int baselineFirstPoints(size_t n) {
    const std::vector<GpsRecord> points = makeTrackPoints(kPointSet);
    const std::string folder = benchFolder("baseline-first");
    for (size_t i = 0; i <= n; ++i) {
        std::FILE* file = baselineFirstPoint(folder.c_str(), points[i % kPointSet]);
        if (file == nullptr)
            return 1;
        baselineClose(file);
    }
    return 0;
}

// Writes POINTS through the recorder and through the baseline and
// compares the point lines; prints the outcome.
bool sameBytes(const char* what, const std::vector<GpsRecord>& points) {
    const std::string recorderFolder = benchFolder(std::string("check-recorder-") + what);
    const std::string baselineFolder = benchFolder(std::string("check-baseline-") + what);
    {
        RecorderSession recorder(recorderFolder);
        if (!recorder.ok()) {
            std::printf("%s: cannot load the recorder\n", what);
            return false;
        }
        recorder.start();
        for (const GpsRecord& r : points)
            recorder.deliver(r);
        recorder.stop();
    }
    std::FILE* file = baselineFirstPoint(baselineFolder.c_str(), points[0]);
    if (file == nullptr)
        return false;
    for (size_t i = 1; i < points.size(); ++i)
        baselineWritePoint(file, points[i]);
    baselineClose(file);

    std::string fromRecorder, fromBaseline;
    const std::string recorderText = readFile(onlyFileIn(recorderFolder));
    if (!trackPointLines(recorderText, &fromRecorder) ||
        !trackPointLines(readFile(onlyFileIn(baselineFolder)), &fromBaseline)) {
        std::printf("%s: a file is not a complete track\n", what);
        return false;
    }
    if (fromRecorder != fromBaseline) {
        size_t at = 0;
        while (at < fromRecorder.size() && at < fromBaseline.size() &&
               fromRecorder[at] == fromBaseline[at])
            ++at;
        const size_t lineStart = fromBaseline.rfind('\n', at) + 1;
        std::printf("%s: DIFFERENT at byte %zu\n  recorder: %.160s\n  baseline: %.160s\n", what, at,
                    fromRecorder.c_str() + lineStart, fromBaseline.c_str() + lineStart);
        return false;
    }
    std::printf("%s: %zu points, %zu bytes of point lines identical (file %zu bytes)\n", what,
                points.size(), fromRecorder.size(), recorderText.size());
    return true;
}

int checkBytes(size_t n) {
    const bool track = sameBytes("track", makeTrackPoints(n));
    const bool random = sameBytes("random-bits", makeRandomBitPoints(n, 7));
    return track && random ? 0 : 1;
}

// ---- The outside reference's input ----

void sentence(std::string* out, const char* body) {
    unsigned sum = 0;
    for (const char* p = body; *p != 0; ++p)
        sum ^= static_cast<unsigned char>(*p);
    char text[200];
    std::snprintf(text, sizeof text, "$%s*%02X\r\n", body, sum);
    *out += text;
}

// Degrees as NMEA's dddmm.mmmmmm and hemisphere.
void nmeaAngle(char* out, size_t size, double degrees, int width, char positive, char negative) {
    const char hemisphere = degrees < 0 ? negative : positive;
    if (degrees < 0)
        degrees = -degrees;
    const int whole = static_cast<int>(degrees);
    std::snprintf(out, size, "%0*d%09.6f,%c", width, whole, (degrees - whole) * 60.0, hemisphere);
}

// The benchmark's N track points as NMEA: a GGA and an RMC sentence each.
int writeNmea(size_t n) {
    std::string text;
    for (const GpsRecord& r : makeTrackPoints(n)) {
        char lat[32], lon[32], body[160];
        nmeaAngle(lat, sizeof lat, r.latitude, 2, 'N', 'S');
        nmeaAngle(lon, sizeof lon, r.longitude, 3, 'E', 'W');
        std::snprintf(body, sizeof body, "GPGGA,%02d%02d%02d.00,%s,%s,1,08,%.2f,%.2f,M,47.0,M,,",
                      r.hour, r.minute, r.second, lat, lon, static_cast<double>(r.hdop),
                      static_cast<double>(r.altitude));
        sentence(&text, body);
        std::snprintf(body, sizeof body, "GPRMC,%02d%02d%02d.00,A,%s,%s,0.0,0.0,%02d%02d%02d,,,A",
                      r.hour, r.minute, r.second, lat, lon, r.day, r.month, r.year % 100);
        sentence(&text, body);
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

// ---- Heap allocations ----

void report(const char* plugin, const char* entry, const AllocationCounts& before, size_t calls) {
    const AllocationCounts after = allocationCounts();
    std::printf("alloc %s %s calls=%zu thread=%llu plugin-code=%llu any-thread=%llu\n", plugin,
                entry, calls, static_cast<unsigned long long>(after.thisThread - before.thisThread),
                static_cast<unsigned long long>(after.fromWatched - before.fromWatched),
                static_cast<unsigned long long>(after.all - before.all));
}

void recorderAllocations() {
    const std::vector<GpsRecord> points = makeTrackPoints(kPointSet);
    const std::string folder = benchFolder("allocations-recorder");
    PluginLibrary library(programFolder() + libraryFileName("wendmark"));
    if (!library.ok() || !watchLibraryCode("wendmark")) {
        std::printf("alloc wendmark cannot load\n");
        return;
    }
    FakeHost host;
    host.store[wide("tracks_path")] = wide(folder);
    // The host's own store allocates when the plugin seeds or reads a
    // setting; that is counted too, and told apart by the plugin-code column.
    AllocationCounts c = allocationCounts();
    PluginDescriptor* d = library.descriptor();
    report("wendmark", "pluginPreInitMethod", c, 1);
    c = allocationCounts();
    d->init(host.context());
    report("wendmark", "PluginInit", c, 1);
    c = allocationCounts();
    d->start();
    report("wendmark", "PluginStart", c, 1);
    c = allocationCounts();
    d->gpsData.setGPSData(&points[0]);
    report("wendmark", "PluginSetGPSData(first,cold)", c, 1);
    c = allocationCounts();
    for (size_t i = 1; i < points.size(); ++i)
        d->gpsData.setGPSData(&points[i]);
    report("wendmark", "PluginSetGPSData(steady)", c, points.size() - 1);
    c = allocationCounts();
    d->stop();
    report("wendmark", "PluginStop", c, 1);
    c = allocationCounts();
    d->start();
    d->gpsData.setGPSData(&points[0]);
    report("wendmark", "PluginStart+PluginSetGPSData(first,warm)", c, 1);
    c = allocationCounts();
    d->deInit();
    report("wendmark", "PluginDeInit", c, 1);
}

int allocations() {
    recorderAllocations();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    const std::string op = argv[1];
    const size_t n = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0;
    if (op == "recorder-point")
        return recorderPoints(n);
    if (op == "baseline-point")
        return baselinePoints(n);
    if (op == "recorder-first")
        return recorderFirstPoints(n);
    if (op == "baseline-first")
        return baselineFirstPoints(n);
    if (op == "check-bytes")
        return checkBytes(n);
    if (op == "allocations")
        return allocations();
    if (op == "nmea")
        return writeNmea(n);
    return usage();
}
