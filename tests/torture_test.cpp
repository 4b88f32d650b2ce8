// Host-call torture: the deliverable plugins, loaded through the system's
// loader, called through their descriptors in random orders, repeated and
// out of order, many thousands of times. Afterwards nothing may be left
// running or open, and every track file must be complete after its stop.
#include "support/fake_host.h"
#include "support/plugin_library.h"
#include "support/test_files.h"
#include "support/track_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace {

// Under Wine every call costs far more; the count there stays modest.
#if defined(_WIN32)
const int kRecorderCalls = 3000;
#else
const int kRecorderCalls = 60000;
#endif

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
}

} // namespace
