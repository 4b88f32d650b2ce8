// Runs one plugin operation N times, for instruction counts under
// callgrind (collection toggled on the operation's own function, so that
// only that code is counted), and the checks that go with the figures:
// identical bytes and heap allocations.
//
//   perf_driver OP N
#include "alloc_count.h"
#include "handover_baselines.h"
#include "provider_session.h"
#include "recorder_session.h"
#include "track_points.h"

#include "../../harness/test_files.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

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
        recorder.removeTracks();
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

// ---- Provider ----

// Calls POLL, yielding between calls, until it returns 1; false after ten
// seconds.
template <class Poll> bool waitFor(Poll poll) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!poll()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// The outcome of the measured calls: every one must have given what it
// should.
int verdict(const char* op, size_t wrong) {
    if (wrong == 0)
        return 0;
    std::fprintf(stderr, "%s: %zu calls gave the wrong result\n", op, wrong);
    return 1;
}

bool samePosition(const GpsRecord& r, const GPS_POSITION& p) {
    return r.latitude == static_cast<float>(p.dblLatitude) &&
           r.longitude == static_cast<float>(p.dblLongitude) && r.fixStatus == FIX_3D;
}

// Pushes a reading and waits until both halves of it have been handed out,
// so that nothing is pending afterwards. The wait polls the entry that is
// not being measured; the measured one is called exactly once, so that
// every run calls it a known number of times.
bool settle(ProviderSession& provider, uint32_t sequence, bool measuringSatellites) {
    GpsRecord r;
    SatelliteRecord sats[SATELLITE_TABLE_SIZE];
    int32_t count = 0;
    provider.push(fullReading(sequence));
    // The satellites are published after the position, under the same
    // lock: once they are out, the position is waiting.
    if (measuringSatellites)
        return waitFor([&] { return provider.getPosition(&r) == 1; }) &&
               provider.getSatellites(sats, &count) == 1;
    return waitFor([&] { return provider.getSatellites(sats, &count) == 1; }) &&
           provider.getPosition(&r) == 1;
}

int providerOp(const std::string& op, size_t n) {
    ProviderSession provider;
    if (*provider.error() != 0) {
        std::fprintf(stderr, "%s\n", provider.error());
        return 1;
    }
    const bool satellites = op.find("satellites") != std::string::npos;
    if (!settle(provider, 0, satellites))
        return verdict(op.c_str(), 1);
    GpsRecord r;
    SatelliteRecord sats[SATELLITE_TABLE_SIZE];
    int32_t count = 0;
    size_t wrong = 0;
    if (op == "provider-convert") {
        // Only the conversion on the reader thread is counted.
        for (size_t i = 1; i <= n; ++i)
            wrong += settle(provider, static_cast<uint32_t>(i), false) ? 0 : 1;
    } else if (op == "provider-idle-position") {
        for (size_t i = 0; i < n; ++i)
            wrong += provider.getPosition(&r) == 0 ? 0 : 1;
    } else if (op == "provider-idle-satellites") {
        for (size_t i = 0; i < n; ++i)
            wrong += provider.getSatellites(sats, &count) == 0 ? 0 : 1;
    } else if (op == "provider-new-position") {
        for (size_t i = 1; i <= n; ++i) {
            const GPS_POSITION p = fullReading(static_cast<uint32_t>(i));
            provider.push(p);
            if (!waitFor([&] { return provider.getSatellites(sats, &count) == 1; })) {
                ++wrong;
                continue;
            }
            wrong += provider.getPosition(&r) == 1 && samePosition(r, p) ? 0 : 1;
        }
    } else if (op == "provider-new-satellites") {
        for (size_t i = 1; i <= n; ++i) {
            provider.push(fullReading(static_cast<uint32_t>(i)));
            if (!waitFor([&] { return provider.getPosition(&r) == 1; })) {
                ++wrong;
                continue;
            }
            count = 0;
            wrong += provider.getSatellites(sats, &count) == 1 && count == GPS_MAX_SATELLITES &&
                             sats[0].used == 1
                         ? 0
                         : 1;
        }
    } else {
        return usage();
    }
    return verdict(op.c_str(), wrong);
}

int baselineOp(const std::string& op, size_t n) {
    GpsRecord r;
    std::memset(&r, 0, sizeof r);
    SatelliteRecord sats[SATELLITE_TABLE_SIZE];
    std::memset(sats, 0, sizeof sats);
    int32_t count = 0;
    size_t wrong = 0;
    if (op == "baseline-convert") {
        for (size_t i = 0; i < n; ++i)
            baselineCopyReading(fullReading(static_cast<uint32_t>(i)));
    } else if (op == "baseline-idle-position") {
        for (size_t i = 0; i < n; ++i)
            wrong += baselineLockedGetPosition(&r) == 0 ? 0 : 1;
    } else if (op == "baseline-idle-satellites") {
        for (size_t i = 0; i < n; ++i)
            wrong += baselineLockedGetSatellites(sats, &count) == 0 ? 0 : 1;
    } else if (op == "baseline-new-position") {
        for (size_t i = 0; i < n; ++i) {
            baselinePublish(r, sats, GPS_MAX_SATELLITES);
            wrong += baselineLockedGetPosition(&r) == 1 ? 0 : 1;
        }
    } else if (op == "baseline-new-satellites") {
        for (size_t i = 0; i < n; ++i) {
            baselinePublish(r, sats, GPS_MAX_SATELLITES);
            wrong += baselineLockedGetSatellites(sats, &count) == 1 ? 0 : 1;
        }
    } else {
        return usage();
    }
    return verdict(op.c_str(), wrong);
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

// The plugin's descriptor and its PluginInit, each counted.
PluginDescriptor* countedInit(const char* plugin, const PluginLibrary& library, FakeHost& host) {
    AllocationCounts c = allocationCounts();
    PluginDescriptor* d = library.descriptor();
    report(plugin, "pluginPreInitMethod", c, 1);
    c = allocationCounts();
    d->init(host.context());
    report(plugin, "PluginInit", c, 1);
    return d;
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
    PluginDescriptor* d = countedInit("wendmark", library, host);
    AllocationCounts c = allocationCounts();
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

void providerAllocations() {
    PluginLibrary library(programFolder() + libraryFileName("orvane"));
    if (!library.ok() || !watchLibraryCode("orvane")) {
        std::printf("alloc orvane cannot load\n");
        return;
    }
    FakeHost host;
    PluginDescriptor* d = countedInit("orvane", library, host);
    SimulatedDriver driver(".");
    if (!driver.ok()) {
        std::printf("alloc orvane cannot reach the simulated driver\n");
        return;
    }
    AllocationCounts c = allocationCounts();
    d->start();
    report("orvane", "PluginStart", c, 1);

    // Readings through the reader thread, fetched by the host.
    GpsRecord r;
    SatelliteRecord sats[SATELLITE_TABLE_SIZE];
    int32_t count = 0;
    const uint32_t readings = 1000;
    c = allocationCounts();
    size_t fetched = 0;
    for (uint32_t i = 0; i < readings; ++i) {
        const GPS_POSITION p = fullReading(i);
        driver.push(p);
        fetched += waitFor([&] { return d->gpsData.getPosition(&r) == 1; }) ? 1 : 0;
        fetched += waitFor([&] { return d->getSatellites(sats, &count) == 1; }) ? 1 : 0;
    }
    report("orvane", "reader-thread+PluginGetPosition+PluginGetSatellites(new)", c, fetched);
    c = allocationCounts();
    for (int i = 0; i < 10000; ++i) {
        d->gpsData.getPosition(&r);
        d->getSatellites(sats, &count);
    }
    report("orvane", "PluginGetPosition+PluginGetSatellites(idle)", c, 10000);
    c = allocationCounts();
    d->stop();
    report("orvane", "PluginStop", c, 1);
    c = allocationCounts();
    d->deInit();
    report("orvane", "PluginDeInit", c, 1);
}

int allocations() {
    recorderAllocations();
    providerAllocations();
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
    if (op.rfind("provider-", 0) == 0)
        return providerOp(op, n);
    if (op.rfind("baseline-", 0) == 0)
        return baselineOp(op, n);
    return usage();
}
