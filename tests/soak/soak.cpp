// Soak: a million positions through the recorder, loaded through the
// system's loader and driven through its descriptor, in recording periods
// of equal length, with positions it must skip mixed in. The process's
// memory and open descriptors must stay flat from period to period. Each
// period's file is renamed "recorder-NN.gpx" after its stop, and a manifest
// tells readback.py which series of positions each file must hold, in
// order, for the read-back with gpxpy.
//
//   navplugins_soak OUTPUT_FOLDER [POSITIONS]
#include "../support/fake_host.h"
#include "../support/plugin_library.h"
#include "../support/test_files.h"
#include "../support/track_text.h"

#include <dirent.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
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

// Open descriptors of the process.
int openDescriptors() {
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir))
        n += e->d_name[0] != '.';
    closedir(dir);
    return n - 1; // the listing's own
}

// Figures of one period, for the flatness check.
struct Sample {
    long rssKb;
    int descriptors;
};

// Memory may settle during the first periods; after that it must not grow
// by more than SLACK_KB over all the remaining ones.
void checkFlat(const std::vector<Sample>& samples, const char* what, long slackKb) {
    const size_t settled = samples.size() / 4;
    long low = samples[settled].rssKb, high = low;
    for (size_t i = settled; i < samples.size(); ++i) {
        low = std::min(low, samples[i].rssKb);
        high = std::max(high, samples[i].rssKb);
        check(samples[i].descriptors == samples[0].descriptors,
              std::string(what) + ": open descriptors changed from " +
                  std::to_string(samples[0].descriptors) + " to " +
                  std::to_string(samples[i].descriptors) + " in period " + std::to_string(i));
    }
    check(high - low <= slackKb,
          std::string(what) + ": resident memory grew by " + std::to_string(high - low) + " kB");
    std::printf("%s: resident memory %ld..%ld kB after settling, %d open descriptors\n", what, low,
                high, samples.back().descriptors);
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
        samples.push_back(Sample{residentKb(), openDescriptors()});
    }
    check(plugin->deInit() == 1, "PluginDeInit");
    std::printf("recorder: %u positions in %u periods, %lu skipped positions mixed in\n",
                periods * perPeriod, periods, skipped);
    checkFlat(samples, "recorder", 512);
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
    manifest.close();

    if (failures > 0)
        std::printf("%d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
