// Host-call torture: the deliverable plugins, loaded through the system's
// loader, called through their descriptors in random orders, repeated and
// out of order, many thousands of times. Afterwards nothing may be left
// running or open, and every track file must be complete after its stop.
#include "../harness/plugin_host.h"
#include "../harness/plugin_library.h"
#include "../harness/simulated_driver.h"
#include "../harness/test_files.h"
#include "../harness/track_text.h"
#include "support/eventually.h"
#include "support/test_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

namespace {

const int kRecorderCalls = 60000;
const int kPipelineCalls = 60000;

// A reading the driver hands out: the position of sequenceRecord(SEQ), so
// that the recorder's line for it is known, and satellites marked with SEQ.
GPS_POSITION readingOf(uint32_t seq) {
    GPS_POSITION p = driverReading(sequenceRecord(seq));
    p.dwSatelliteCount = 1;
    p.rgdwSatellitesUsedPRNs[0] = seq % 3;
    p.dwSatellitesInView = 1 + seq % GPS_MAX_SATELLITES;
    for (uint32_t i = 0; i < p.dwSatellitesInView; ++i) {
        p.rgdwSatellitesInViewPRNs[i] = i;
        p.rgdwSatellitesInViewElevation[i] = seq;
    }
    return p;
}

TEST(Torture, RecorderInRandomOrderCompletesEveryTrack) {
    PluginLibrary library(programFolder() + libraryFileName("wendmark"));
    ASSERT_TRUE(library.ok());
    PluginDescriptor* plugin = library.descriptor();
    const std::string folder = freshFolder("torture-recorder");
    FakeHost host;
    host.store[wide("tracks_path")] = wide(folder);

    // What the recorder should be doing: the host's calls alone decide it.
    bool recording = false, open = false;
    std::string lines;
    size_t filesChecked = 0, pointsChecked = 0, fileLines = 0;
    uint32_t next = 0;
    // At a close the folder holds exactly the file of the period that
    // ends, complete; it is checked and removed.
    auto closeFile = [&] {
        const std::vector<std::string> files = listFiles(folder);
        ASSERT_EQ(1u, files.size());
        ASSERT_TRUE(isTrackName(files[0])) << files[0];
        EXPECT_EQ(expectedHeader(files[0]) + lines + kTrackFooter, readFile(folder + files[0]));
        std::remove((folder + files[0]).c_str());
        ++filesChecked;
        pointsChecked += fileLines;
        open = false;
        lines.clear();
        fileLines = 0;
    };

    std::mt19937 random(31);
    bool initialised = false;
    for (int call = 0; call < kRecorderCalls; ++call) {
        const unsigned op = random() % 100;
        if (op < 4 || !initialised) {
            // Sometimes a host table that gives nothing: the recorder keeps
            // what it took before (or its default before the first one).
            const bool full = initialised ? random() % 3 != 0 : true;
            host.setTable(full, full ? 6 : static_cast<int32_t>(random() % 5));
            ASSERT_EQ(1, plugin->init(host.context()));
            initialised = true;
        } else if (op < 12) {
            ASSERT_EQ(1, plugin->start());
            recording = true;
        } else if (op < 18) {
            ASSERT_EQ(1, plugin->stop());
            if (recording && open)
                closeFile();
            recording = false;
        } else if (op < 22) {
            ASSERT_EQ(1, plugin->deInit());
            if (recording && open)
                closeFile();
            recording = false;
        } else if (op < 24) {
            ASSERT_EQ(plugin, library.descriptor());
        } else {
            GpsRecord r = sequenceRecord(next++);
            if (op < 30)
                r.fixStatus = FIX_NONE;
            plugin->gpsData.setGPSData(&r);
            if (recording && r.fixStatus != FIX_NONE) {
                open = true;
                lines += pointLine(r);
                ++fileLines;
            }
        }
        if (!open) {
            ASSERT_TRUE(listFiles(folder).empty()) << "a file without a usable position";
        }
    }
    ASSERT_EQ(1, plugin->stop());
    if (recording && open)
        closeFile();
    EXPECT_TRUE(listFiles(folder).empty());
    EXPECT_GT(filesChecked, 10u);
    std::printf("[ figures  ] recorder torture: %d calls, %zu files complete, %zu points\n",
                kRecorderCalls, filesChecked, pointsChecked);
    std::fflush(stdout);
}

TEST(Torture, BothPluginsAndTheDriverInRandomOrderLeaveNothingBehind) {
    // The host polls the provider and hands what it gets to the recorder,
    // while both see their lifecycle entries in random order and the driver
    // delivers readings and device-state changes.
    // A sanitizer's runtime starts a helper thread with the process's first
    // thread; one started and joined here keeps it out of the count. Later
    // counts may be lower (an emulator ends helper threads of its own), never
    // higher.
    TestThread([] {}).join();
    const int threadsBefore = countThreads();
    SimulatedDriver driver;
    ASSERT_TRUE(driver.ok()) << "cannot load " << driver.path();
    driver.reset();
    PluginLibrary providerLibrary(programFolder() + libraryFileName("orvane"));
    PluginLibrary recorderLibrary(programFolder() + libraryFileName("wendmark"));
    ASSERT_TRUE(providerLibrary.ok());
    ASSERT_TRUE(recorderLibrary.ok());
    PluginDescriptor* provider = providerLibrary.descriptor();
    PluginDescriptor* recorder = recorderLibrary.descriptor();
    const std::string folder = freshFolder("torture-pipeline");
    FakeHost providerHost, recorderHost;
    recorderHost.store[wide("tracks_path")] = wide(folder);
    ASSERT_EQ(1, recorder->init(recorderHost.context()));

    bool bound = false, recording = false, open = false;
    uint32_t pushed = 0, lastFetched = 0;
    std::string lines;
    size_t filesChecked = 0, pointsWritten = 0, positions = 0, sets = 0, deInits = 0, repeats = 0;
    auto closeFile = [&] {
        const std::vector<std::string> files = listFiles(folder);
        ASSERT_EQ(1u, files.size());
        EXPECT_EQ(expectedHeader(files[0]) + lines + kTrackFooter, readFile(folder + files[0]));
        std::remove((folder + files[0]).c_str());
        ++filesChecked;
        open = false;
        lines.clear();
    };

    std::mt19937 random(52);
    GpsRecord fetched;
    bool haveFetched = false;
    for (int call = 0; call < kPipelineCalls; ++call) {
        const unsigned op = random() % 100;
        if (op < 3) {
            ASSERT_EQ(1, provider->init(providerHost.context()));
            bound = true;
        } else if (op < 8) {
            ASSERT_EQ(bound ? 1 : 0, provider->start());
        } else if (op < 10) {
            ASSERT_EQ(1, provider->stop());
        } else if (op < 12) {
            ASSERT_EQ(1, provider->deInit());
            bound = false;
            ++deInits;
            ASSERT_TRUE(eventually([&] { return countThreads() <= threadsBefore; }))
                << "the reader thread outlived PluginDeInit";
            const SimGpsCounters c = driver.counters();
            ASSERT_EQ(0, c.openDevices);
            ASSERT_EQ(0, c.eventsHeld);
        } else if (op < 35) {
            driver.push(readingOf(++pushed), random() % 8 != 0);
        } else if (op < 38) {
            driver.signalDeviceState();
        } else if (op < 58) {
            GpsRecord r;
            if (provider->gpsData.getPosition(&r) == 1) {
                // Never an older reading after a newer one. The same reading
                // comes again when the driver signalled twice before the
                // reader thread fetched: each signal is a conversion, and
                // each conversion a publication.
                const uint32_t seq = static_cast<uint32_t>(r.altitude);
                ASSERT_GE(seq, lastFetched);
                ASSERT_LE(seq, pushed);
                repeats += seq == lastFetched;
                ASSERT_EQ(pointLine(sequenceRecord(seq)), pointLine(r));
                lastFetched = seq;
                fetched = r;
                haveFetched = true;
                ++positions;
            }
        } else if (op < 66) {
            SatelliteRecord table[SATELLITE_TABLE_SIZE];
            int32_t count = -1;
            if (provider->getSatellites(table, &count) == 1) {
                // One reading's set: its size and every entry agree.
                ASSERT_GE(count, 1);
                ASSERT_LE(count, GPS_MAX_SATELLITES);
                const uint32_t seq = table[0].elevation;
                ASSERT_EQ(1 + seq % GPS_MAX_SATELLITES, static_cast<uint32_t>(count));
                for (int32_t i = 0; i < count; ++i) {
                    ASSERT_EQ(seq, table[i].elevation);
                    ASSERT_EQ(static_cast<uint32_t>(i) == seq % 3 ? 1 : 0, table[i].used);
                }
                ++sets;
            }
        } else if (op < 80) {
            if (haveFetched) {
                recorder->gpsData.setGPSData(&fetched);
                if (recording) {
                    open = true;
                    lines += pointLine(fetched);
                    ++pointsWritten;
                }
            }
        } else if (op < 88) {
            ASSERT_EQ(1, recorder->start());
            recording = true;
        } else if (op < 94) {
            ASSERT_EQ(1, recorder->stop());
            if (recording && open)
                closeFile();
            recording = false;
        } else if (op < 97) {
            ASSERT_EQ(1, recorder->deInit());
            if (recording && open)
                closeFile();
            recording = false;
        } else if (op < 99) {
            // The host does other work for a moment; the reader thread runs.
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
        } else {
            ASSERT_EQ(provider, providerLibrary.descriptor());
            ASSERT_EQ(recorder, recorderLibrary.descriptor());
        }
    }
    ASSERT_EQ(1, recorder->stop());
    if (recording && open)
        closeFile();
    ASSERT_EQ(1, recorder->deInit());
    ASSERT_EQ(1, provider->deInit());

    // Nothing of either plugin runs or stays open.
    EXPECT_TRUE(eventually([&] { return countThreads() <= threadsBefore; }))
        << countThreads() << " threads, " << threadsBefore << " before";
    const SimGpsCounters c = driver.counters();
    EXPECT_EQ(0, c.openDevices);
    EXPECT_EQ(0, c.eventsHeld);
    EXPECT_EQ(0, c.callsAfterClose);
    EXPECT_EQ(c.opens, c.closes);
    EXPECT_TRUE(listFiles(folder).empty());
    // About one poll in forty finds a new position on an idle machine; far
    // fewer where threads are emulated or the machine is busy (76 seen under
    // a load of five), but never none.
    EXPECT_GT(positions, static_cast<size_t>(kPipelineCalls / 2000));
    EXPECT_GT(filesChecked, 10u);
    std::printf("[ figures  ] pipeline torture: %d calls, %d readings pushed, %d device opens, "
                "%zu de-inits, %zu positions (%zu of them a reading again) and %zu satellite sets "
                "fetched, %zu files complete with %zu points\n",
                kPipelineCalls, static_cast<int>(pushed), static_cast<int>(c.opens), deInits,
                positions, repeats, sets, filesChecked, pointsWritten);
    std::fflush(stdout);
}

} // namespace
