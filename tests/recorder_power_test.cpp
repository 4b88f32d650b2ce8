// Power cuts. wendmark_faults records a period while its platform layer
// journals every creation, write, cut, flush and folder sync of the track
// and a simulated clock stands in for the monotonic one. From each point of
// that journal the file is rebuilt as a power cut could leave it, and the
// deliverable wendmark, loaded as a host loads it, mends it at PluginInit.
#include "../harness/plugin_host.h"
#include "../harness/test_files.h"
#include "../harness/track_text.h"
#include "support/fault_plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>

namespace {

const uint32_t kSector = 512;

// What the recording run did, as the journal and the test saw it.
struct Recording {
    std::vector<PlatformJournalEntry> entries;       // the track's alone
    std::string data;                                // the journal's written bytes
    std::vector<size_t> pointWrite;                  // entry of each point's write
    std::vector<uint32_t> pointTime;                 // clock at each point's call
    std::vector<std::pair<size_t, uint32_t> > calls; // entries when each call returned, clock
    std::string name;                                // the file's name after the prefix
};

class RecorderPower : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(faults.ok());
        ASSERT_TRUE(deliverable.ok());
        journal =
            reinterpret_cast<PlatformFaultsJournalFn>(faults.symbol(PLATFORM_FAULTS_JOURNAL_NAME));
        clearJournal = reinterpret_cast<PlatformFaultsJournalClearFn>(
            faults.symbol(PLATFORM_FAULTS_JOURNAL_CLEAR_NAME));
        clock = reinterpret_cast<PlatformFaultsClockFn>(faults.symbol(PLATFORM_FAULTS_CLOCK_NAME));
        ASSERT_TRUE(journal != nullptr && clearJournal != nullptr && clock != nullptr);
        folder = freshFolder(std::string("power-") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        faults.reset();
    }
    void TearDown() override {
        clock(0, 0);
        faults.descriptor()->stop();
        faults.descriptor()->deInit();
    }

    // PluginInit of PLUGIN with tracks_path PATH.
    void init(PluginDescriptor* plugin, const std::string& path) {
        host.store[wide("tracks_path")] = wide(path);
        ASSERT_EQ(1, plugin->init(host.context()));
    }
    int32_t flushes() const { return faults.counters().calls[FAULT_FILE_FLUSH]; }

    FaultPlugin faults{"wendmark"};
    PluginLibrary deliverable{programFolder() + libraryFileName("wendmark")};
    PlatformFaultsJournalFn journal = nullptr;
    PlatformFaultsJournalClearFn clearJournal = nullptr;
    PlatformFaultsClockFn clock = nullptr;
    FakeHost host;
    std::string folder;
};

// The common point is one write and no flush; the first point, every call
// 5 s or more after the oldest unflushed point (with a fix or not), a run
// of points that outgrows the bound, and the Stop flush.
TEST_F(RecorderPower, FlushesAfterTheFirstPointEveryFiveSecondsAndAtTheClose) {
    PluginDescriptor* plugin = faults.descriptor();
    clock(1, 0);
    init(plugin, folder);
    ASSERT_EQ(1, plugin->start());
    for (uint32_t i = 0; i < 20; ++i) {
        clock(1, 1000 * i);
        GpsRecord r = sequenceRecord(i);
        if (i == 12)
            r.fixStatus = FIX_NONE;
        const PlatformFaultCounters before = faults.counters();
        plugin->gpsData.setGPSData(&r);
        const PlatformFaultCounters after = faults.counters();
        EXPECT_EQ(i == 12 ? 0 : 1, after.calls[FAULT_FILE_WRITE] - before.calls[FAULT_FILE_WRITE]);
        // Points 1 .. 5 wait until the call at 6 s, 7 .. 11 until 12 s.
        EXPECT_EQ(i % 6 == 0 ? 1 : 0,
                  after.calls[FAULT_FILE_FLUSH] - before.calls[FAULT_FILE_FLUSH])
            << "call " << i;
    }
    // A burst in one instant: flushed once its bytes outgrow the bound.
    const int32_t beforeBurst = flushes();
    for (uint32_t i = 20; i < 120; ++i) {
        const GpsRecord r = sequenceRecord(i);
        plugin->gpsData.setGPSData(&r);
    }
    const int32_t burst = flushes() - beforeBurst;
    const size_t bytes = pointLines(20, 120).size();
    EXPECT_GE(burst, static_cast<int32_t>(bytes / 7400));
    EXPECT_LE(burst, static_cast<int32_t>(bytes / 7000 + 1));
    const int32_t beforeStop = flushes();
    ASSERT_EQ(1, plugin->stop());
    EXPECT_EQ(1, flushes() - beforeStop);
}

// Records one period of CALLS calls into FOLDER + "trk": steps of about a
// second, bursts in one instant, pauses, positions without a fix.
Recording record(PluginDescriptor* plugin, FakeHost& host, const std::string& prefix,
                 PlatformFaultsClockFn clock, PlatformFaultsJournalFn journal,
                 PlatformFaultsJournalClearFn clearJournal, uint32_t seed, int calls) {
    Recording rec;
    std::mt19937 random(seed);
    uint32_t now = 100000;
    clock(1, now);
    host.store[wide("tracks_path")] = wide(prefix);
    plugin->init(host.context());
    plugin->start();
    clearJournal();
    int burst = 0;
    for (int c = 0; c < calls; ++c) {
        const unsigned kind = random() % 100;
        if (burst > 0)
            --burst;
        else if (kind < 2)
            burst = 40 + static_cast<int>(random() % 40);
        else
            now += kind < 90 ? 600 + random() % 800 : 3000 + random() % 5000;
        clock(1, now);
        GpsRecord r = sequenceRecord(static_cast<uint32_t>(rec.pointWrite.size()));
        const bool usable = random() % 10 != 0;
        if (!usable)
            r.fixStatus = FIX_NONE;
        const int32_t before = journal()->count;
        plugin->gpsData.setGPSData(&r);
        if (usable) {
            for (int32_t e = before; e < journal()->count; ++e) {
                if (journal()->entries[e].op == FILE_JOURNAL_WRITE) {
                    rec.pointWrite.push_back(static_cast<size_t>(e));
                    break;
                }
            }
            rec.pointTime.push_back(now);
        }
        rec.calls.emplace_back(static_cast<size_t>(journal()->count), now);
    }
    now += 700;
    clock(1, now);
    plugin->stop();
    rec.calls.emplace_back(static_cast<size_t>(journal()->count), now);
    const PlatformFileJournal* j = journal();
    EXPECT_EQ(0, j->overflowed);
    EXPECT_EQ(rec.pointTime.size(), rec.pointWrite.size()) << "a point without its write";
    rec.entries.assign(j->entries, j->entries + j->count);
    rec.data.assign(j->data, j->dataUsed);
    return rec;
}

void apply(const Recording& rec, const PlatformJournalEntry& e, std::string* content) {
    if (e.op == FILE_JOURNAL_WRITE) {
        if (content->size() < e.offset + e.size)
            content->resize(e.offset + e.size, '\0');
        content->replace(e.offset, e.size, rec.data, e.data, e.size);
    } else if (e.op == FILE_JOURNAL_TRUNCATE) {
        content->resize(e.offset, '\0');
    }
}

// What a disk may hold after a cut once the first CUT entries happened:
// everything to the last flush; of each later write, each 512-byte sector
// or not; the size at the last flush or the latest; zeros where nothing
// reached the disk. Returns false when the file is missing.
bool imageAfterCut(const Recording& rec, size_t cut, std::mt19937& random, std::string* image,
                   size_t* lastFlush) {
    const int32_t file = rec.entries.at(0).file;
#if defined(_WIN32)
    const int32_t nameDurable = FILE_JOURNAL_FLUSH;
#else
    const int32_t nameDurable = FILE_JOURNAL_FOLDER_SYNC;
#endif
    bool named = false;
    size_t flushed = 0; // entries applied whole
    for (size_t i = 0; i < cut; ++i) {
        named |= rec.entries[i].op == nameDurable;
        if (rec.entries[i].op == FILE_JOURNAL_FLUSH)
            flushed = i + 1;
    }
    *lastFlush = flushed;
    std::string durable, latest;
    for (size_t i = 0; i < cut; ++i) {
        if (rec.entries[i].file != file)
            continue;
        if (i < flushed)
            apply(rec, rec.entries[i], &durable);
        apply(rec, rec.entries[i], &latest);
    }
    std::string disk = durable;
    for (size_t i = flushed; i < cut; ++i) {
        const PlatformJournalEntry& e = rec.entries[i];
        if (e.op != FILE_JOURNAL_WRITE || e.size == 0)
            continue;
        if (disk.size() < e.offset + e.size)
            disk.resize(e.offset + e.size, '\0');
        for (uint32_t s = e.offset / kSector; s <= (e.offset + e.size - 1) / kSector; ++s) {
            if (random() % 2 == 0)
                continue;
            const uint32_t from = std::max(e.offset, s * kSector);
            const uint32_t to = std::min(e.offset + e.size, (s + 1) * kSector);
            disk.replace(from, to - from, rec.data, e.data + (from - e.offset), to - from);
        }
    }
    disk.resize(random() % 2 == 0 ? durable.size() : latest.size(), '\0');
    *image = disk;
    return named || random() % 2 == 0;
}

struct CutFigures {
    int cuts = 0, missing = 0, mended = 0, rebuiltEmpty = 0;
    size_t distinct = 0, mostLost = 0;
    uint32_t longestLostMs = 0;
    double longestInitMs = 0, totalInitMs = 0;
};

// Mends every image of many cuts through the deliverable and checks each:
// exactly the header, the first K points returned and the footer, K at
// least every point flushed and every point a call 5 s later preceded.
TEST_F(RecorderPower, EveryCutIsMendedToTheReturnedPointsUpToACutOff) {
    const std::string recordFolder = freshFolder("power-recording");
    const Recording rec = record(faults.descriptor(), host, recordFolder + "trk", clock, journal,
                                 clearJournal, 20100520, 420);
    const std::vector<std::string> recorded = listFiles(recordFolder);
    ASSERT_EQ(1u, recorded.size());
    ASSERT_EQ(0u, recorded[0].find("trk"));
    const std::string name = recorded[0].substr(3);
    ASSERT_TRUE(isTrackName(name));
    ASSERT_EQ(FILE_JOURNAL_CREATE, rec.entries.at(0).op);
    const std::string header = expectedHeader(name);
    std::vector<std::string> documents(1, header + kTrackFooter);
    std::string lines;
    for (size_t k = 0; k < rec.pointWrite.size(); ++k) {
        lines += pointLine(sequenceRecord(static_cast<uint32_t>(k)));
        documents.push_back(header + lines + kTrackFooter);
    }
    ASSERT_EQ(documents.back(), readFile(recordFolder + recorded[0]));

    const std::string images = freshFolder("power-images");
    const std::string kept = freshFolder("power-cut");
    const std::string path = images + "trk" + name;
    std::mt19937 random(1999);
    CutFigures f;
    std::set<std::string> seen;
    const int kPatterns = 6;
    PluginDescriptor* plugin = deliverable.descriptor();
    for (size_t cut = 1; cut <= rec.entries.size(); ++cut) {
        // Points written before the cut, flushed before it, and promised.
        size_t written = 0, promised = 0;
        while (written < rec.pointWrite.size() && rec.pointWrite[written] < cut)
            ++written;
        for (const auto& call : rec.calls) {
            while (call.first <= cut && promised < rec.pointTime.size() &&
                   call.second >= rec.pointTime[promised] + 5000)
                ++promised;
        }
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            std::string image;
            size_t flushedEntries = 0;
            const bool present = imageAfterCut(rec, cut, random, &image, &flushedEntries);
            size_t flushed = 0;
            while (flushed < rec.pointWrite.size() && rec.pointWrite[flushed] < flushedEntries)
                ++flushed;
            ++f.cuts;
            seen.insert(present ? image : std::string("missing"));
            std::remove(path.c_str());
            if (present)
                writeFile(path, image);
            const auto start = std::chrono::steady_clock::now();
            init(plugin, images + "trk");
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            f.longestInitMs = std::max(f.longestInitMs, ms);
            f.totalInitMs += ms;
            if (!present) {
                ++f.missing;
                ASSERT_TRUE(listFiles(images).empty()) << "cut " << cut;
                ASSERT_EQ(0u, promised) << "cut " << cut << ": a promised point in a lost file";
                continue;
            }
            ASSERT_EQ(1u, listFiles(images).size());
            const std::string mended = readFile(path);
            const auto match = std::find(documents.begin(), documents.end(), mended);
            ASSERT_NE(documents.end(), match)
                << "cut " << cut << " pattern " << pattern << ": not the returned points";
            const size_t k = static_cast<size_t>(match - documents.begin());
            ASSERT_GE(k, flushed) << "cut " << cut << ": a flushed point lost";
            ASSERT_GE(k, promised) << "cut " << cut << ": a point 5 s old lost";
            ASSERT_LE(k, written);
            f.mended += mended != image;
            f.rebuiltEmpty += k == 0 && image.compare(0, header.size(), header) != 0;
            if (k < written) {
                f.mostLost = std::max(f.mostLost, written - k);
                const size_t callOfCut =
                    static_cast<size_t>(std::lower_bound(rec.calls.begin(), rec.calls.end(),
                                                         std::make_pair(cut, uint32_t{0})) -
                                        rec.calls.begin());
                const uint32_t cutTime =
                    rec.calls[std::min(callOfCut, rec.calls.size() - 1)].second;
                f.longestLostMs = std::max(f.longestLostMs, cutTime - rec.pointTime[k]);
            }
            if (f.cuts % 8 == 0 && k > 0)
                writeFile(kept + "cut-" + std::to_string(f.cuts) + "-" + std::to_string(k) + ".gpx",
                          mended);
        }
    }
    f.distinct = seen.size();
    EXPECT_GE(f.cuts, 2000);
    EXPECT_GT(f.mended, f.cuts / 4) << "most cuts must have left a torn file";
    EXPECT_GT(f.rebuiltEmpty, 0);
    std::printf("[ figures  ] power cuts: %zu journal entries of %zu points, %d cuts (%zu "
                "distinct images), %d files lost before their name was durable, %d mended (%d "
                "torn headers rebuilt empty); at most %zu points lost, the oldest %u ms before "
                "the cut; PluginInit mending %.3f ms at most, %.3f ms on average\n",
                rec.entries.size(), rec.pointWrite.size(), f.cuts, f.distinct, f.missing, f.mended,
                f.rebuiltEmpty, f.mostLost, f.longestLostMs, f.longestInitMs,
                f.totalInitMs / f.cuts);
    std::fflush(stdout);
}

// What PluginInit mends in the folder of tracks_path (a plain prefix):
// only files of the prefix's last part and the recorder's name pattern
// that begin with the header of their name, or with a torn piece of it.
TEST_F(RecorderPower, InitMendsOnlyTheRecordersOwnTornTracks) {
    const std::string a = "2010-05-20_14-03-07.gpx", b = "2010-05-20_14-03-08.gpx";
    const std::string whole = expectedHeader(a) + pointLines(0, 2);
    const std::string wholeB = expectedHeader(b) + pointLines(0, 2);
    const std::string line = pointLine(sequenceRecord(2));
    struct File {
        std::string name, before, after;
    } files[] = {
        {"trk" + a, whole + line.substr(0, 40), whole + kTrackFooter},
        {"trk" + b, wholeB + kTrackFooter + std::string(700, '\0'), wholeB + kTrackFooter},
        {"trk2010-05-20_14-03-09.gpx", expectedHeader("2010-05-20_14-03-09.gpx") + kTrackFooter,
         ""},
        {"trk2010-05-20_14-03-10.gpx", std::string(1024, '\0'), ""},
        {"trk2010-05-20_14-03-11.gpx", expectedHeader("2010-05-20_14-03-11.gpx").substr(0, 99), ""},
        {a, whole, ""},                                                 // not of the prefix
        {"xtrk" + b, whole, ""},                                        // another prefix
        {"trk2010-05-20_14-03-12.gpx", "notes\r\n", ""},                // not the recorder's
        {"trk2010-05-20_14-03-13.gpx", whole.substr(0, 300) + "x", ""}, // header not its own
        {"trk2010-5-20_14-03-07.gpx", whole, ""},                       // not the pattern
    };
    files[2].after = files[2].before;
    files[3].after = expectedHeader("2010-05-20_14-03-10.gpx") + kTrackFooter;
    files[4].after = expectedHeader("2010-05-20_14-03-11.gpx") + kTrackFooter;
    for (File& f : files) {
        writeFile(folder + f.name, f.before);
        if (f.after.empty())
            f.after = f.before;
    }
    init(deliverable.descriptor(), folder + "trk");
    for (const File& f : files)
        EXPECT_EQ(f.after, readFile(folder + f.name)) << f.name;
    EXPECT_EQ(std::size(files), listFiles(folder).size());
}

// A file another recorder has open is never touched, torn or not; once it
// is closed, the next PluginInit mends it.
TEST_F(RecorderPower, InitLeavesAnotherLiveRecordersFileAlone) {
    PluginDescriptor* live = faults.descriptor();
    init(live, folder);
    ASSERT_EQ(1, live->start());
    for (uint32_t i = 0; i < 3; ++i) {
        const GpsRecord r = sequenceRecord(i);
        live->gpsData.setGPSData(&r);
    }
    const std::string name = listFiles(folder).at(0);
    const std::string torn = readFile(folder + name) + "<trkpt lon=";
    writeFile(folder + name, torn);
    init(deliverable.descriptor(), folder);
    EXPECT_EQ(torn, readFile(folder + name));
    ASSERT_EQ(1, live->stop());
    init(deliverable.descriptor(), folder);
    EXPECT_EQ(expectedHeader(name) + pointLines(0, 3) + kTrackFooter, readFile(folder + name));
}

// The cost of PluginInit in a folder of 2,000 complete tracks (the default
// folder is a drive's root): one listing, and per track a read of its
// header and of its last bytes.
TEST_F(RecorderPower, InitAmongTwoThousandTracksReadsOnlyTheirEnds) {
    const int kTracks = 2000;
    char name[32];
    const std::string lines = pointLines(0, 600);
    for (int i = 0; i < kTracks; ++i) {
        std::snprintf(name, sizeof name, "2010-05-%02d_%02d-%02d-%02d.gpx", 1 + i / 3600,
                      i / 60 % 60, i % 60, 0);
        writeFile(folder + name, expectedHeader(name) + lines + kTrackFooter);
    }
    const std::string torn = folder + name;
    writeFile(torn, expectedHeader(name) + lines + "<trkpt");
    const auto start = std::chrono::steady_clock::now();
    init(deliverable.descriptor(), folder);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(expectedHeader(name) + lines + kTrackFooter, readFile(torn));
    const std::vector<std::string> names = listFiles(folder);
    ASSERT_EQ(static_cast<size_t>(kTracks), names.size());
    EXPECT_EQ(expectedHeader(names[0]) + lines + kTrackFooter, readFile(folder + names[0]));
    std::printf("[ figures  ] PluginInit among %d tracks of %zu bytes each (one torn): %.1f ms\n",
                kTracks, (expectedHeader(name) + lines + kTrackFooter).size(), ms);
    std::fflush(stdout);
}

} // namespace
