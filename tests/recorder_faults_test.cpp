// The recorder over a failing platform: wendmark_faults, the recorder built
// over the fault-injection platform layer, loaded through the system's
// loader and driven through its descriptor. Every fault must leave the
// lifecycle results at 1, release every file, and keep in the file each
// point that reached it before the fault.
#include "../harness/plugin_host.h"
#include "../harness/test_files.h"
#include "../harness/track_text.h"
#include "support/fault_plugin.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <utility>

namespace {

class RecorderFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(library.ok()) << "cannot load " << libraryFileName("wendmark_faults");
        plugin = library.descriptor();
        folder = freshFolder(std::string("faults-") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        library.reset();
    }

    void TearDown() override {
        // Whatever happened, nothing may stay open and no handle may have
        // been released twice or used after its release.
        EXPECT_EQ(1, plugin->stop());
        EXPECT_EQ(1, plugin->deInit());
        const PlatformFaultCounters c = library.counters();
        EXPECT_EQ(0, c.openFiles);
        EXPECT_EQ(0, c.badHandles);
    }

    // PluginInit with tracks_path FOLDER, then PluginStart.
    void startIn(const std::string& tracks) {
        host.store[wide("tracks_path")] = wide(tracks);
        ASSERT_EQ(1, plugin->init(host.context()));
        ASSERT_EQ(1, plugin->start());
    }
    void deliver(const GpsRecord& r) { plugin->gpsData.setGPSData(&r); }

    // The only file in DIR and its content.
    std::string onlyFileIn(const std::string& dir, std::string* name = nullptr) {
        const std::vector<std::string> files = listFiles(dir);
        EXPECT_EQ(1u, files.size());
        if (files.empty())
            return "";
        if (name != nullptr)
            *name = files[0];
        return readFile(dir + files[0]);
    }

    // Delivers record I and returns the writes and cuts it caused.
    std::pair<int32_t, int32_t> deliverCounting(uint32_t i) {
        const PlatformFaultCounters before = library.counters();
        deliver(sequenceRecord(i));
        const PlatformFaultCounters after = library.counters();
        return {after.calls[FAULT_FILE_WRITE] - before.calls[FAULT_FILE_WRITE],
                after.calls[FAULT_FILE_TRUNCATE] - before.calls[FAULT_FILE_TRUNCATE]};
    }
    std::string trackNow() { return readFile(folder + listFiles(folder).at(0)); }

    FaultPlugin library{"wendmark"};
    PluginDescriptor* plugin = nullptr;
    FakeHost host;
    std::string folder;
};

TEST_F(RecorderFaults, FailedCreationsDropRecordsUntilACreationSucceeds) {
    startIn(folder);
    library.arm(FAULT_FILE_CREATE, 1, 2);
    for (uint32_t i = 0; i < 4; ++i)
        deliver(sequenceRecord(i));
    // Records 0 and 1 found no file; 2 created it under a fresh name.
    EXPECT_EQ(1, plugin->stop());
    std::string name;
    const std::string content = onlyFileIn(folder, &name);
    EXPECT_EQ(expectedHeader(name) + pointLines(2, 4) + kTrackFooter, content);
    const PlatformFaultCounters c = library.counters();
    EXPECT_EQ(3, c.calls[FAULT_FILE_CREATE]);
    EXPECT_EQ(2, c.injected[FAULT_FILE_CREATE]);

    // A period whose every creation fails ends without a file, and its
    // DeInit has nothing to close. A failure other than a taken name is not
    // retried under other names.
    const std::string second = freshFolder("faults-creation-second");
    startIn(second);
    library.arm(FAULT_FILE_CREATE, 1, FAULT_FOREVER);
    for (uint32_t i = 0; i < 20; ++i)
        deliver(sequenceRecord(i));
    EXPECT_EQ(1, plugin->deInit());
    EXPECT_EQ(1, plugin->stop());
    EXPECT_TRUE(listFiles(second).empty());
    EXPECT_EQ(23, library.counters().calls[FAULT_FILE_CREATE]);
}

// Each point is one write, and the file is complete after it. A write that
// fails, having written nothing or part of its bytes, is undone: the point
// is dropped, the file is complete without it, and recording goes on.
TEST_F(RecorderFaults, AFailedOrPartWrittenPointIsUndoneAndTheFileStaysComplete) {
    startIn(folder);
    std::string kept;
    for (uint32_t i = 0; i < 12; ++i) {
        const bool fail = i % 4 == 2;
        if (fail)
            library.arm(i % 8 == 2 ? FAULT_FILE_WRITE : FAULT_FILE_WRITE_PARTIAL, 1);
        const std::pair<int32_t, int32_t> calls = deliverCounting(i);
        if (!fail)
            kept += pointLine(sequenceRecord(i));
        // Failed: the point's write, the footer's again and the cut.
        EXPECT_EQ(fail ? std::make_pair(2, 1) : std::make_pair(1, 0), calls) << i;
        const std::string name = listFiles(folder).at(0);
        ASSERT_EQ(expectedHeader(name) + kept + kTrackFooter, trackNow()) << "after point " << i;
    }
    // The file is complete already: closing it writes nothing.
    const int32_t writes = library.counters().calls[FAULT_FILE_WRITE];
    EXPECT_EQ(1, plugin->stop());
    EXPECT_EQ(writes, library.counters().calls[FAULT_FILE_WRITE]);
    EXPECT_EQ(3, library.counters().injected[FAULT_FILE_WRITE] +
                     library.counters().injected[FAULT_FILE_WRITE_PARTIAL]);
}

// A disk that stays full: every write stops part way. The file keeps every
// whole point and never a cut line; once there is room again the next point
// completes it.
TEST_F(RecorderFaults, AFullDiskKeepsEveryWholePointAndRecoversWhenSpaceReturns) {
    startIn(folder);
    for (uint32_t i = 0; i < 3; ++i)
        deliver(sequenceRecord(i));
    library.arm(FAULT_FILE_WRITE_PARTIAL, 1, FAULT_FOREVER);
    for (uint32_t i = 3; i < 8; ++i) {
        deliver(sequenceRecord(i));
        const std::string name = listFiles(folder).at(0);
        ASSERT_EQ(expectedHeader(name) + pointLines(0, 3), trackNow()) << "after point " << i;
    }
    library.reset();
    deliver(sequenceRecord(8));
    std::string name;
    EXPECT_EQ(1, plugin->stop());
    const std::string content = onlyFileIn(folder, &name);
    EXPECT_EQ(expectedHeader(name) + pointLines(0, 3) + pointLines(8, 9) + kTrackFooter, content);

    // A period whose first write fails completes its file at the close.
    const std::string next = freshFolder("faults-full-first");
    startIn(next);
    library.arm(FAULT_FILE_WRITE_PARTIAL, 1, FAULT_FOREVER);
    deliver(sequenceRecord(0));
    library.reset();
    EXPECT_EQ(1, plugin->stop());
    EXPECT_EQ(expectedHeader(name = listFiles(next).at(0)) + kTrackFooter, onlyFileIn(next));
}

// When the system refuses the cut after a part-written point, nothing more
// is written until a cut succeeds: the next point retries it first.
TEST_F(RecorderFaults, ARefusedCutIsRetriedBeforeTheNextPoint) {
    startIn(folder);
    for (uint32_t i = 0; i < 3; ++i)
        deliver(sequenceRecord(i));
    library.arm(FAULT_FILE_WRITE_PARTIAL, 1);
    library.arm(FAULT_FILE_TRUNCATE, 1, 2);
    EXPECT_EQ(std::make_pair(2, 1), deliverCounting(3)); // write, footer, refused cut
    EXPECT_EQ(std::make_pair(0, 1), deliverCounting(4)); // refused again: dropped
    EXPECT_EQ(std::make_pair(1, 1), deliverCounting(5)); // cut, then the point
    const std::string name = listFiles(folder).at(0);
    EXPECT_EQ(expectedHeader(name) + pointLines(0, 3) + pointLines(5, 6) + kTrackFooter,
              trackNow());
}

TEST_F(RecorderFaults, AFailedCloseStillReleasesTheFileAndKeepsItsContent) {
    startIn(folder);
    for (uint32_t i = 0; i < 5; ++i)
        deliver(sequenceRecord(i));
    library.arm(FAULT_FILE_CLOSE, 1);
    EXPECT_EQ(1, plugin->stop());
    EXPECT_EQ(0, library.counters().openFiles);
    std::string name;
    const std::string content = onlyFileIn(folder, &name);
    EXPECT_EQ(expectedHeader(name) + pointLines(0, 5) + kTrackFooter, content);

    // The recorder forgot the file: later periods with and without points
    // close only their own files.
    const std::string next = freshFolder("faults-close-next");
    startIn(next);
    EXPECT_EQ(1, plugin->stop());
    startIn(next);
    deliver(sequenceRecord(9));
    EXPECT_EQ(1, plugin->deInit());
    EXPECT_EQ(1, plugin->stop());
    EXPECT_EQ(1u, listFiles(next).size());
    EXPECT_EQ(0, library.counters().badHandles);
}

// Checks that every track file in DIR consists of whole lines of the three
// kinds (a failed or part-written point is undone, so no line may be cut),
// counts its points, and removes it.
void checkAndRemoveTracks(const std::string& dir, size_t* files, size_t* points) {
    for (const std::string& name : listFiles(dir)) {
        if (!isTrackName(name))
            continue;
        ++*files;
        const std::string content = readFile(dir + name);
        const std::string header = expectedHeader(name);
        size_t at = 0;
        while (at < content.size()) {
            const size_t end = content.find("\r\n", at);
            ASSERT_NE(std::string::npos, end) << name << ": a partial line";
            const std::string line = content.substr(at, end + 2 - at);
            const bool point = line.compare(0, 7, "<trkpt ") == 0;
            *points += point;
            EXPECT_TRUE(point || header.find(line) != std::string::npos ||
                        std::string(kTrackFooter).find(line) != std::string::npos)
                << name << ": " << line;
            at = end + 2;
        }
        std::remove((dir + name).c_str());
    }
}

TEST_F(RecorderFaults, RandomCallsUnderRandomFaultsLeakNothing) {
    // Random host calls while creations, writes and closes fail at random.
    std::mt19937 random(20100520);
    const std::string missing = folder + "missing" + folder.back();
    const PlatformFaultKind kinds[] = {FAULT_FILE_CREATE, FAULT_FILE_WRITE, FAULT_FILE_CLOSE,
                                       FAULT_FILE_WRITE_PARTIAL};
    int32_t injected[FAULT_KIND_COUNT] = {};
    auto collect = [&] {
        const PlatformFaultCounters c = library.counters();
        for (int k = 0; k < FAULT_KIND_COUNT; ++k)
            injected[k] += c.injected[k];
        library.reset();
    };
    // The host sets the folder before anything else; the recorder's own
    // default would be a relative name here.
    host.store[wide("tracks_path")] = wide(folder);
    ASSERT_EQ(1, plugin->init(host.context()));
    const int kCalls = 50000;
    uint32_t next = 0;
    size_t files = 0, points = 0;
    int calls = 0;
    while (calls < kCalls) {
        const unsigned op = random() % 100;
        ++calls;
        if (op < 3) {
            host.store[wide("tracks_path")] = wide(random() % 4 == 0 ? missing : folder);
            EXPECT_EQ(1, plugin->init(host.context()));
        } else if (op < 15) {
            EXPECT_EQ(1, plugin->start());
        } else if (op < 25) {
            EXPECT_EQ(1, op < 20 ? plugin->stop() : plugin->deInit());
            EXPECT_EQ(0, library.counters().openFiles);
            checkAndRemoveTracks(folder, &files, &points);
        } else if (op < 40) {
            collect();
            // One draw after the other: argument order is the compiler's.
            const PlatformFaultKind kind = kinds[random() % 4];
            const int32_t first = static_cast<int32_t>(1 + random() % 3);
            const int32_t count = static_cast<int32_t>(1 + random() % 3);
            library.arm(kind, first, count);
        } else {
            // A burst of positions, some without a fix.
            for (unsigned n = 1 + random() % 40; n > 0 && calls < kCalls; --n, ++calls) {
                GpsRecord r = sequenceRecord(next++);
                if (random() % 8 == 0)
                    r.fixStatus = FIX_NONE;
                deliver(r);
            }
        }
    }
    EXPECT_EQ(1, plugin->stop());
    checkAndRemoveTracks(folder, &files, &points);
    collect();
    for (PlatformFaultKind k : kinds)
        EXPECT_GT(injected[k], 10) << "faults of kind " << k << " must have fired";
    std::printf("[ figures  ] recorder under faults: %d calls, %d failed creations, %d failed "
                "and %d part-written writes, %d failed closes, %zu files checked, %zu points in "
                "them\n",
                kCalls, static_cast<int>(injected[FAULT_FILE_CREATE]),
                static_cast<int>(injected[FAULT_FILE_WRITE]),
                static_cast<int>(injected[FAULT_FILE_WRITE_PARTIAL]),
                static_cast<int>(injected[FAULT_FILE_CLOSE]), files, points);
    std::fflush(stdout);
}

} // namespace
