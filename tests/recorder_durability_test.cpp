// What survives when the host dies, when two hosts record at once, and when
// the disk fills: host processes (recorder_child) loading the real wendmark
// through the system's loader, and (Linux, as root) a real full disk.
#include "../harness/plugin_host.h"
#include "../harness/plugin_library.h"
#include "../harness/test_files.h"
#include "../harness/track_text.h"
#include "support/child_program.h"
#include "support/eventually.h"

#include "../platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>

#if !defined(_WIN32)
#include <sys/mount.h>
#endif

namespace {

// Children start slowly under Wine: a generous bound.
const std::chrono::seconds kChildTimeout(120);

std::string childProgram() {
    return programFolder() + programFileName("recorder_child");
}

// The folder NAME made in FOLDER, with a trailing separator.
std::string subfolder(const std::string& folder, const std::string& name) {
    const std::string path = folder + name + kPathSeparator;
    makeFolders(path);
    return path;
}

// The complete file NAME with sequence records 0 .. N - 1.
std::string wholeTrack(const std::string& name, uint32_t n) {
    return expectedHeader(name) + pointLines(0, n) + kTrackFooter;
}

// Calls the child reported: entered before each call, returned after it.
struct Progress {
    uint32_t entered = 0, returned = 0;
};

// Only whole report lines count: the last one may have been cut by the kill.
Progress readProgress(const std::string& out) {
    Progress p;
    size_t at = 0;
    for (size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        unsigned long i = 0;
        char kind = 0;
        if (std::sscanf(out.c_str() + at, "%c %lu", &kind, &i) != 2)
            continue;
        (kind == 'e' ? p.entered : p.returned) = static_cast<uint32_t>(i + 1);
    }
    return p;
}

// True when TEXT is the complete track of N points with the write of point
// N cut where a page of the file ends: the one write a kill on Linux may
// cut, since the kernel copies a write page by page and stops at a pending
// kill. Every earlier point must still be whole.
bool isWriteCutAtAPage(const std::string& text, const std::string& name, uint32_t n) {
    std::string before = wholeTrack(name, n);
    const size_t at = before.size() - std::string(kTrackFooter).size();
    const std::string write = pointLines(n, n + 1) + kTrackFooter;
    for (size_t cut = 1; cut < write.size(); ++cut) {
        if ((at + cut) % 4096 != 0)
            continue;
        std::string expected = before;
        expected.replace(at, std::min(cut, expected.size() - at), write, 0, cut);
        if (text == expected)
            return true;
    }
    return false;
}

// The host process is killed at random moments, most of them inside a
// delivery: every call that returned must have its point in the file, the
// file must be whole (gpxpy reads the copies kept in test-output/killed),
// and the only other thing allowed is the point whose call was under way.
TEST(RecorderDurability, AKilledHostLeavesEveryReturnedPointInAWholeTrack) {
    const int kKills = 26;
    std::mt19937 random(20100520);
    const std::string kept = freshFolder("killed");
    int inCall = 0, withPending = 0, cutWrites = 0;
    for (int k = 0; k < kKills; ++k) {
        const std::string folder = freshFolder("kill-" + std::to_string(k));
        const std::string tracks = subfolder(folder, "tracks");
        const uint32_t target = k < 2 ? k : static_cast<uint32_t>(random() % 800);
        ChildProgram child(childProgram(), {tracks, "0", "1000000"}, folder);
        ASSERT_TRUE(child.started());
        // Kill once the target count of calls has returned; the child runs
        // on meanwhile, so the kill lands wherever it happens to be.
        ASSERT_TRUE(
            eventually([&] { return readProgress(child.out()).returned >= target; }, kChildTimeout))
            << "the child stopped reporting: " << child.err();
        child.kill();
        child.wait();
        const Progress p = readProgress(child.out());
        const bool duringCall = p.entered > p.returned;
        inCall += duringCall;

        const std::vector<std::string> files = listFiles(tracks);
        ASSERT_LE(files.size(), 1u);
        if (files.empty()) {
            EXPECT_EQ(0u, p.returned) << "kill " << k << ": a returned point without a file";
            continue;
        }
        const std::string name = files[0];
        ASSERT_TRUE(isTrackName(name)) << name;
        const std::string text = readFile(tracks + name);
        uint32_t points = p.returned;
        if (duringCall && text != wholeTrack(name, points)) {
            // The call under way may have written its point, or not yet
            // have written the new file's first bytes, or been cut.
            if (text == wholeTrack(name, points + 1)) {
                ++points;
                ++withPending;
            } else if (text.empty() && points == 0) {
                continue;
            } else if (isWriteCutAtAPage(text, name, points)) {
                ++cutWrites;
                continue;
            }
        }
        ASSERT_EQ(wholeTrack(name, points), text)
            << "kill " << k << " after " << p.returned << " returned calls"
            << (duringCall ? ", one under way" : "");
        writeFile(kept + "kill-" + std::to_string(k) + "-" + std::to_string(points) + ".gpx", text);
    }
    std::printf("[ figures  ] recorder kills: %d, %d inside a delivery (%d with its point on "
                "disk, %d writes cut at a page)\n",
                kKills, inCall, withPending, cutWrites);
    std::fflush(stdout);
}

// Two host processes start their periods in the same second: the second to
// create its file takes the next second, and both tracks are kept whole.
TEST(RecorderDurability, TwoHostsStartingInOneSecondKeepBothTracks) {
    const std::string folder = freshFolder("two-hosts");
    const std::string tracks = subfolder(folder, "tracks");
    const std::string go = folder + "go";
    const uint32_t kPoints = 40, kSecondFirst = 100000;
    ChildProgram a(childProgram(), {tracks, "0", std::to_string(kPoints), go},
                   subfolder(folder, "a"));
    ChildProgram b(childProgram(),
                   {tracks, std::to_string(kSecondFirst), std::to_string(kPoints), go},
                   subfolder(folder, "b"));
    ASSERT_TRUE(eventually(
        [&] {
            return a.out().find("ready") != std::string::npos &&
                   b.out().find("ready") != std::string::npos;
        },
        kChildTimeout))
        << a.err() << b.err();
    writeFile(go, "");
    ASSERT_EQ(0, a.wait()) << a.err();
    ASSERT_EQ(0, b.wait()) << b.err();

    const std::vector<std::string> files = listFiles(tracks);
    ASSERT_EQ(2u, files.size());
    std::string texts[2] = {readFile(tracks + files[0]), readFile(tracks + files[1])};
    // Which host wrote which file shows in its first point.
    const bool firstIsA = texts[0].find(pointLine(sequenceRecord(0))) != std::string::npos;
    EXPECT_EQ(wholeTrack(files[firstIsA ? 0 : 1], kPoints), texts[firstIsA ? 0 : 1]);
    EXPECT_EQ(expectedHeader(files[firstIsA ? 1 : 0]) +
                  pointLines(kSecondFirst, kSecondFirst + kPoints) + kTrackFooter,
              texts[firstIsA ? 1 : 0]);
}

#if !defined(_WIN32)
// A real disk that fills and then has room again: a small tmpfs, mounted
// here where the tests run as root. After every point the file is the
// header, the points the disk took and the footer; a point that did not fit
// leaves no trace, and once space returns points are appended again.
TEST(RecorderDurability, AFullDiskDropsPointsWithoutCuttingALine) {
    const std::string disk = freshFolder("full-disk");
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=16k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root): the fault build's partial "
                        "writes stand in for a full disk (RecorderFaults)";
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{disk};
    // Half the disk taken by another file, freed later.
    writeFile(disk + "other", std::string(8192, 'x'));

    PluginLibrary library(programFolder() + libraryFileName("wendmark"));
    ASSERT_TRUE(library.ok());
    PluginDescriptor* plugin = library.descriptor();
    FakeHost host;
    host.store[wide("tracks_path")] = wide(disk);
    ASSERT_EQ(1, plugin->init(host.context()));
    ASSERT_EQ(1, plugin->start());
    std::string name, written;
    uint32_t dropped = 0, afterFreed = 0;
    for (uint32_t i = 0; i < 300; ++i) {
        if (i == 150)
            std::remove((disk + "other").c_str());
        const GpsRecord r = sequenceRecord(i);
        plugin->gpsData.setGPSData(&r);
        if (name.empty()) {
            std::vector<std::string> files = listFiles(disk);
            ASSERT_EQ(2u, files.size());
            name = files[0];
        }
        const std::string text = readFile(disk + name);
        const std::string with = expectedHeader(name) + written + pointLine(r) + kTrackFooter;
        if (text == with) {
            written += pointLine(r);
            afterFreed += i >= 150;
        } else {
            ++dropped;
            ASSERT_EQ(expectedHeader(name) + written + kTrackFooter, text) << "point " << i;
        }
    }
    ASSERT_EQ(1, plugin->stop());
    EXPECT_EQ(expectedHeader(name) + written + kTrackFooter, readFile(disk + name));
    EXPECT_GT(dropped, 50u) << "the disk must have filled";
    EXPECT_GT(afterFreed, 50u) << "points must be appended once space returns";
}
#endif

// A track's offsets are 32-bit, so its file may grow to 4 GiB: the platform
// layer writes and cuts a file past the 2 GiB where a 32-bit file offset
// stops (a sparse file: nothing of it is written but its end).
TEST(RecorderDurability, TrackFilesGrowPastTwoGiB) {
    const std::string path = freshFolder("large") + "sparse.gpx";
    bool taken = true;
    const PlatformHandle file = platformFileCreateNew(wide(path).c_str(), &taken);
    ASSERT_NE(nullptr, file);
    EXPECT_FALSE(taken);
    EXPECT_TRUE(platformFileWriteAt(file, 0xFFFFFF00u, "</gpx>\r\n", 8));
    EXPECT_TRUE(platformFileTruncate(file, 0x80000010u));
    EXPECT_TRUE(platformFileClose(file));
    std::error_code ec;
    EXPECT_EQ(0x80000010u, std::filesystem::file_size(path, ec)) << ec.message();
    std::filesystem::remove(path, ec);
}

} // namespace
