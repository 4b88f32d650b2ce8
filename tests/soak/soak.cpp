// Soak, with the plugins loaded through the system's loader and driven
// through their descriptors:
// - a million positions through the recorder, in recording periods of equal
//   length, with positions it must skip mixed in;
// - a million readings through the provider from the simulated driver, the
//   host polling for each and handing it to the recorder, with readings
//   without a fix mixed in; the provider is restarted every period.
// The process's memory, open descriptors and threads must stay flat from
// period to period. Each period's file is renamed "recorder-NN.gpx" or
// "provider-NN.gpx" after its stop, and a manifest tells readback.py which
// series of positions each file must hold, in order, for the read-back with
// gpxpy.
//
//   navplugins_soak OUTPUT_FOLDER [POSITIONS]
#include "../../harness/plugin_host.h"
#include "../../harness/plugin_library.h"
#include "../../harness/simulated_driver.h"
#include "../../harness/test_files.h"
#include "../../harness/track_text.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        ++failures;
    }
}

// Resident memory in kB, from /proc/self/status.
long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Figures of one period, for the flatness check.
struct Sample {
    long rssKb;
    int descriptors;
    int threads;
};
Sample sample() {
    const ProcessResources r = processResources();
    return Sample{residentKb(), r.handles, r.threads};
}

// Memory may settle during the first periods; after that it must not grow
// by more than SLACK_KB over all the remaining ones.
void checkFlat(const std::vector<Sample>& samples, const char* what, long slackKb) {
    for (size_t i = 0; i < samples.size(); ++i) {
        check(samples[i].descriptors == samples[0].descriptors,
              std::string(what) + ": open descriptors changed from " +
                  std::to_string(samples[0].descriptors) + " to " +
                  std::to_string(samples[i].descriptors) + " in period " + std::to_string(i));
        check(samples[i].threads == samples[0].threads,
              std::string(what) + ": threads changed from " + std::to_string(samples[0].threads) +
                  " to " + std::to_string(samples[i].threads) + " in period " + std::to_string(i));
    }
    const size_t settled = samples.size() / 4;
    long low = samples[settled].rssKb, high = low;
    for (size_t i = settled; i < samples.size(); ++i) {
        low = std::min(low, samples[i].rssKb);
        high = std::max(high, samples[i].rssKb);
    }
    check(high - low <= slackKb,
          std::string(what) + ": resident memory grew by " + std::to_string(high - low) + " kB");
    std::printf("%s: resident memory %ld..%ld kB from period %zu on, %d open descriptors and %d "
                "threads after every period\n",
                what, low, high, settled, samples.back().descriptors, samples.back().threads);
}

// The track file the period just closed, renamed to NAME in FOLDER.
bool keepTrack(const std::string& folder, const std::string& name) {
    std::vector<std::string> files;
    for (const std::string& f : listFiles(folder)) {
        if (isTrackName(f))
            files.push_back(f);
    }
    check(files.size() == 1,
          "one new track file after a stop, found " + std::to_string(files.size()));
    if (files.size() != 1)
        return false;
    return std::rename((folder + files[0]).c_str(), (folder + name).c_str()) == 0;
}

void soakRecorder(const std::string& folder, uint32_t positions, std::ofstream& manifest) {
    PluginLibrary library(programFolder() + libraryFileName("wendmark"));
    check(library.ok(), "wendmark loads");
    if (!library.ok())
        return;
    PluginDescriptor* plugin = library.descriptor();
    FakeHost host;
    host.store[wide("tracks_path")] = wide(folder);
    check(plugin->init(host.context()) == 1, "PluginInit");

    const uint32_t periods = 20;
    const uint32_t perPeriod = positions / periods;
    std::vector<Sample> samples;
    uint32_t next = 0;
    unsigned long skipped = 0;
    for (uint32_t p = 0; p < periods; ++p) {
        check(plugin->start() == 1, "PluginStart");
        const uint32_t first = next;
        for (uint32_t n = 0; n < perPeriod; ++n) {
            // Every few positions one the recorder must skip: no fix, or a
            // value that is not a number.
            if (n % 7 == 3) {
                GpsRecord bad = sequenceRecord(next);
                if (n % 2 == 0)
                    bad.fixStatus = FIX_NONE;
                else
                    bad.latitude = std::nanf("");
                plugin->gpsData.setGPSData(&bad);
                ++skipped;
            }
            const GpsRecord r = sequenceRecord(next++);
            plugin->gpsData.setGPSData(&r);
        }
        check(plugin->stop() == 1, "PluginStop");
        char name[32];
        std::snprintf(name, sizeof name, "recorder-%02u.gpx", p);
        if (keepTrack(folder, name))
            manifest << name << " " << first << " " << perPeriod << "\n";
        samples.push_back(sample());
    }
    check(plugin->deInit() == 1, "PluginDeInit");
    std::printf("recorder: %u positions in %u periods, %lu skipped positions mixed in\n",
                periods * perPeriod, periods, skipped);
    checkFlat(samples, "recorder", 512);
}

// The driver's reading for position SEQ of the series; without a fix (and
// with an altitude outside the series) when USABLE is false.
GPS_POSITION readingOf(uint32_t seq, bool usable) {
    GPS_POSITION p = driverReading(sequenceRecord(seq));
    if (!usable) {
        p.FixType = GPS_FIX_UNKNOWN;
        p.flAltitudeWRTEllipsoid = -1.0f;
    }
    p.dwSatelliteCount = 2;
    p.rgdwSatellitesUsedPRNs[0] = 3;
    p.rgdwSatellitesUsedPRNs[1] = 7;
    p.dwSatellitesInView = GPS_MAX_SATELLITES;
    for (uint32_t i = 0; i < GPS_MAX_SATELLITES; ++i) {
        p.rgdwSatellitesInViewPRNs[i] = i + 1;
        p.rgdwSatellitesInViewElevation[i] = seq;
    }
    return p;
}

// Polls slot 14 until a position comes, as a host's timer would.
bool poll(PluginDescriptor* provider, GpsRecord* r) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (provider->gpsData.getPosition(r) != 1) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

void soakProvider(const std::string& folder, uint32_t readings, std::ofstream& manifest) {
    SimulatedDriver driver;
    check(driver.ok(), "the simulated driver loads");
    PluginLibrary providerLibrary(programFolder() + libraryFileName("orvane"));
    PluginLibrary recorderLibrary(programFolder() + libraryFileName("wendmark"));
    check(providerLibrary.ok() && recorderLibrary.ok(), "the plugins load");
    if (!driver.ok() || !providerLibrary.ok() || !recorderLibrary.ok())
        return;
    driver.reset();
    PluginDescriptor* provider = providerLibrary.descriptor();
    PluginDescriptor* recorder = recorderLibrary.descriptor();
    FakeHost providerHost, recorderHost;
    recorderHost.store[wide("tracks_path")] = wide(folder);
    check(recorder->init(recorderHost.context()) == 1, "recorder PluginInit");

    const int threadsBefore = countThreads();
    const uint32_t periods = 20;
    const uint32_t perPeriod = readings / periods;
    std::vector<Sample> samples;
    uint32_t next = 0;
    unsigned long pushed = 0, positions = 0, sets = 0, unusable = 0;
    for (uint32_t p = 0; p < periods && failures == 0; ++p) {
        check(provider->init(providerHost.context()) == 1, "provider PluginInit");
        check(provider->start() == 1, "provider PluginStart");
        check(recorder->start() == 1, "recorder PluginStart");
        const uint32_t first = next;
        for (uint32_t n = 0; n < perPeriod && failures == 0; ++n) {
            // Every few readings one without a fix, which the host hands
            // on and the recorder must skip.
            const bool usable = n % 9 != 4;
            const GPS_POSITION reading = readingOf(next, usable);
            driver.push(reading);
            ++pushed;
            GpsRecord r;
            if (!poll(provider, &r)) {
                check(false, "reading " + std::to_string(pushed) + " never reached the host");
                break;
            }
            ++positions;
            if (usable) {
                check(r.altitude == static_cast<float>(next) && r.fixStatus == FIX_3D,
                      "position " + std::to_string(next) + " came out of order or changed");
                ++next;
            } else {
                check(r.altitude == -1.0f && r.fixStatus == FIX_NONE,
                      "a reading without a fix came out changed");
                ++unusable;
            }
            recorder->gpsData.setGPSData(&r);
            if (n % 16 == 0) {
                SatelliteRecord table[SATELLITE_TABLE_SIZE];
                int32_t count = 0;
                if (provider->getSatellites(table, &count) == 1) {
                    ++sets;
                    check(count == GPS_MAX_SATELLITES && table[3].prn == 4 && table[2].used == 1,
                          "a satellite set came out changed");
                }
            }
        }
        check(recorder->stop() == 1, "recorder PluginStop");
        check(provider->deInit() == 1, "provider PluginDeInit");
        char name[32];
        std::snprintf(name, sizeof name, "provider-%02u.gpx", p);
        if (keepTrack(folder, name))
            manifest << name << " " << first << " " << next - first << "\n";
        // The reader thread has ended by the time PluginDeInit returns; a
        // joined thread may linger a moment in the system's list.
        for (int wait = 0; wait < 1000 && countThreads() != threadsBefore; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        samples.push_back(sample());
    }
    check(recorder->deInit() == 1, "recorder PluginDeInit");
    const SimGpsCounters c = driver.counters();
    check(c.openDevices == 0 && c.eventsHeld == 0 && c.callsAfterClose == 0,
          "the driver reports something still open");
    std::printf("provider: %lu readings pushed and %lu positions polled (%lu without a fix), %lu "
                "satellite sets, %d device opens and closes, %u periods\n",
                pushed, positions, unusable, sets, static_cast<int>(c.closes), periods);
    if (!samples.empty())
        checkFlat(samples, "provider", 512);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER [POSITIONS]\n", argv[0]);
        return 2;
    }
    std::string folder = argv[1];
    if (folder.back() != '/')
        folder += '/';
    const uint32_t positions = argc > 2 ? static_cast<uint32_t>(std::atol(argv[2])) : 1000000;
    makeFolders(folder);
    for (const std::string& f : listFiles(folder))
        std::remove((folder + f).c_str());

    std::ofstream manifest(folder + "manifest.txt");
    soakRecorder(folder, positions, manifest);
    soakProvider(folder, positions, manifest);
    manifest.close();

    if (failures > 0)
        std::printf("%d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
