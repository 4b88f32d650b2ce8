// The track recorder, loaded through the system's loader and driven through
// its descriptor exactly as a host drives it.
#include "../harness/plugin_host.h"
#include "../harness/plugin_library.h"
#include "../harness/test_files.h"
#include "../harness/track_text.h"
#include "support/descriptor_check.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>

#if !defined(_WIN32)
#include <stdlib.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

const std::string kFooter = kTrackFooter;

// The example point: lon -0.5, lat 51.25, ele 12, hdop 1.5 at 2010-05-20 14:03:07.
GpsRecord examplePoint() {
    return makeRecord(-0.5f, 51.25f, 12.0f, 1.5f);
}
const char kExampleLine[] = "<trkpt lon=\"-0.500000\" lat=\"51.250000\"><time>2010-05-20T14:03:07Z"
                            "</time><type>MWP</type><ele>12.000000</ele><hdop>1.500000</hdop>"
                            "</trkpt>\r\n";

// The test program's clock (local, or UTC), read once, and the track names
// of the seconds that follow it.
class TestClock {
  public:
    explicit TestClock(bool utc = false) : utc_(utc) {
#if defined(_WIN32)
        SYSTEMTIME t;
        if (utc)
            GetSystemTime(&t);
        else
            GetLocalTime(&t);
        FILETIME f;
        SystemTimeToFileTime(&t, &f);
        ticks_ = (static_cast<uint64_t>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10000000u;
#else
        now_ = std::time(nullptr);
#endif
    }
    // "YYYY-MM-DD_hh-mm-ss.gpx" for the reading plus OFFSET seconds.
    std::string name(int offset = 0) const {
        int y, mo, d, h, mi, s;
#if defined(_WIN32)
        const uint64_t at = (ticks_ + offset) * 10000000u;
        FILETIME f = {static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
        SYSTEMTIME t;
        FileTimeToSystemTime(&f, &t);
        y = t.wYear, mo = t.wMonth, d = t.wDay, h = t.wHour, mi = t.wMinute, s = t.wSecond;
#else
        const std::time_t at = now_ + offset;
        std::tm t;
        if (utc_)
            gmtime_r(&at, &t);
        else
            localtime_r(&at, &t);
        y = t.tm_year + 1900, mo = t.tm_mon + 1, d = t.tm_mday, h = t.tm_hour, mi = t.tm_min,
        s = t.tm_sec;
#endif
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d-%02d-%02d.gpx", y, mo, d, h, mi, s);
        return text;
    }

  private:
    bool utc_;
#if defined(_WIN32)
    uint64_t ticks_;
#else
    std::time_t now_;
#endif
};

std::string localName() {
    return TestClock().name();
}
std::string utcName() {
    return TestClock(true).name();
}

class Recorder : public ::testing::Test {
  protected:
    void SetUp() override {
#if !defined(_WIN32)
        // A zone away from UTC, so that a name from the wrong clock shows
        // (under Wine the test's environment sets it).
        setenv("TZ", "WMK-5:30", 1);
        tzset();
#endif
        ASSERT_TRUE(library.ok()) << "cannot load " << libraryFileName("wendmark");
        plugin = library.descriptor();
        folder = freshFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    // PluginInit with tracks_path in the store.
    void init(const std::string& tracksPath) {
        host.store[wide("tracks_path")] = wide(tracksPath);
        ASSERT_EQ(1, plugin->init(host.context()));
    }
    void deliver(const GpsRecord& r) {
        plugin->gpsData.setGPSData(&r);
    }

    // The only file in the folder, or "" when there is none.
    std::string onlyFile() {
        std::vector<std::string> files = listFiles(folder);
        EXPECT_LE(files.size(), 1u);
        return files.empty() ? "" : files[0];
    }

    PluginLibrary library{programFolder() + libraryFileName("wendmark")};
    PluginDescriptor* plugin = nullptr;
    FakeHost host;
    std::string folder;
};

TEST_F(Recorder, DescriptorHoldsTheContractValuesOnEveryCall) {
    expectOurDescriptor(library, plugin, 4, 1000, "WENDMARK");
}

TEST_F(Recorder, TakesServiceEntriesByTableSize) {
    // Four entries: neither service is taken, nothing is asked or seeded.
    host.setTable(true, 4);
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_TRUE(host.getCalls.empty());
    EXPECT_TRUE(host.setCalls.empty());

    // Five: GetSetting only, so the missing key stays unseeded.
    host.setTable(true, 5);
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_EQ(1u, host.getCalls.size());
    EXPECT_TRUE(host.setCalls.empty());

    // Six: the missing key is seeded with the default folder.
    host.setTable(true, 6);
    ASSERT_EQ(1, plugin->init(host.context()));
    ASSERT_EQ(1u, host.setCalls.size());
    EXPECT_EQ("C:\\", narrow(host.store[wide("tracks_path")]));

    // A later, smaller or absent table keeps the entries taken earlier.
    host.store.clear();
    host.setTable(false, 6);
    ASSERT_EQ(1, plugin->init(host.context()));
    host.setTable(true, 0);
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_EQ(4u, host.getCalls.size());
    EXPECT_EQ(2u, host.setCalls.size()); // the first of these two seeded again
}

TEST_F(Recorder, ReadsOnlyTheLowByteOfGetSetting) {
    // 0x100 has a clear low byte: "no value", so the key is seeded.
    host.foundResult = 0x100;
    init(folder);
    EXPECT_EQ(1u, host.setCalls.size());

    // 0xFFFFFF01: a value; the folder from the store is used.
    host.foundResult = static_cast<int32_t>(0xFFFFFF01u);
    host.missingResult = 0x7FFFFF00;
    init(folder);
    EXPECT_EQ(1u, host.setCalls.size());
    plugin->start();
    deliver(examplePoint());
    plugin->stop();
    EXPECT_EQ(1u, listFiles(folder).size());
}

TEST_F(Recorder, TreatsAClaimedValueWithoutAStringAsMissing) {
    // A host that answers "found" but hands back no string: the default
    // stays and the store is seeded, rather than the plugin reading null.
    host.foundWithoutValue = true;
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_EQ("C:\\", narrow(host.store[wide("tracks_path")]));
}

TEST_F(Recorder, CutsALongFolderTo254AndSeedsTheCopy) {
    // The cut leaves FOLDER followed by p's, which prefix the file name.
    const size_t pad = 254 - folder.size();
    ASSERT_LT(pad + 23, 250u) << "output folder too long for this test";
    init(folder + std::string(pad, 'p') + "IGNORED");
    plugin->start();
    deliver(examplePoint());
    plugin->stop();
    const std::string file = onlyFile();
    ASSERT_EQ(pad + 23, file.size()) << file;
    EXPECT_EQ(std::string(pad, 'p'), file.substr(0, pad));

    // Without a value in the store, the next PluginInit seeds the copy.
    host.store.clear();
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_EQ(folder + std::string(pad, 'p'), narrow(host.store[wide("tracks_path")]));
}

TEST_F(Recorder, WritesTheWholeFileByteForByte) {
    ASSERT_NE(utcName().substr(11, 5), localName().substr(11, 5))
        << "run in a zone away from UTC (ctest sets TZ=WMK-5:30): the name follows local time";
    init(folder);
    ASSERT_EQ(1, plugin->start());
    const std::string before = localName();
    deliver(examplePoint());
    const std::string after = localName();
    GpsRecord second = makeRecord(13.404954f, 52.520008f, -3.25f, 0.8f);
    second.second = 8;
    second.fixStatus = FIX_2D;
    deliver(second);
    ASSERT_EQ(1, plugin->stop());

    const std::string name = onlyFile();
    // The name comes from the local clock when the first point arrived.
    EXPECT_TRUE(name == before || name == after) << name << " " << before << " " << after;
    const std::string expected =
        expectedHeader(name) + kExampleLine +
        "<trkpt lon=\"13.404954\" lat=\"52.520008\"><time>2010-05-20T14:03:08Z</time><type>MWP"
        "</type><ele>-3.250000</ele><hdop>0.800000</hdop></trkpt>\r\n" +
        kFooter;
    EXPECT_EQ(expected, readFile(folder + name));
}

TEST_F(Recorder, IgnoresRecordsBeforeStartAndWithoutFix) {
    init(folder);
    deliver(examplePoint());
    ASSERT_EQ(1, plugin->start());
    GpsRecord noFix = examplePoint();
    noFix.fixStatus = FIX_NONE;
    deliver(noFix);
    ASSERT_EQ(1, plugin->stop());
    ASSERT_EQ(1, plugin->deInit());
    EXPECT_TRUE(listFiles(folder).empty());

    // Stop and DeInit outside a recording period do nothing either.
    EXPECT_EQ(1, plugin->stop());
    EXPECT_EQ(1, plugin->deInit());
    EXPECT_TRUE(listFiles(folder).empty());
}

TEST_F(Recorder, IgnoresRecordsAfterStopAndFixZeroWhileWriting) {
    init(folder);
    plugin->start();
    deliver(examplePoint());
    GpsRecord noFix = makeRecord(1, 2, 3, 4);
    noFix.fixStatus = FIX_NONE;
    deliver(noFix);
    plugin->stop();
    deliver(makeRecord(5, 6, 7, 8));
    const std::string name = onlyFile();
    EXPECT_EQ(expectedHeader(name) + kExampleLine + kFooter, readFile(folder + name));
}

// DeInit ends the period as Stop does: the file is complete and closed,
// and nothing is recorded until the next Start, neither after the DeInit
// nor after a new Init without a Start.
TEST_F(Recorder, DeInitCompletesTheFileAndEndsRecording) {
    init(folder);
    plugin->start();
    deliver(examplePoint());
    ASSERT_EQ(1, plugin->deInit());
    const std::string first = onlyFile();
    const std::string complete = expectedHeader(first) + kExampleLine + kFooter;
    EXPECT_EQ(complete, readFile(folder + first));
    deliver(makeRecord(1, 2, 3, 4));
    EXPECT_EQ(std::vector<std::string>{first}, listFiles(folder));

    init(folder);
    deliver(makeRecord(1, 2, 3, 4));
    EXPECT_EQ(std::vector<std::string>{first}, listFiles(folder));
    EXPECT_EQ(complete, readFile(folder + first));

    // The next Start begins a new period.
    plugin->start();
    deliver(makeRecord(1, 2, 3, 4));
    plugin->stop();
    EXPECT_EQ(2u, listFiles(folder).size());
}

// A period whose name is taken (a quick restart, another host, the hour
// repeated when daylight saving time ends) takes the next free second, in
// its name and header, up to 60 tries; then it stays waiting and the next
// usable record tries again. Files already there are never touched.
TEST_F(Recorder, TakesTheNextFreeSecondForSixtyTriesAndNeverReplacesATrack) {
    init(folder);
    const std::string decoy = "not a track\r\n";
    for (int attempt = 0; attempt < 5; ++attempt) {
        freshFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        const TestClock clock;
        for (int k = 0; k < 59; ++k)
            writeFile(folder + clock.name(k), decoy);
        plugin->start();
        deliver(examplePoint());
        plugin->stop();
        // Now all 60 names from the clock's second on are taken.
        plugin->start();
        deliver(makeRecord(1, 2, 3, 4));
        const std::vector<std::string> sixty = listFiles(folder);
        std::remove((folder + clock.name(5)).c_str());
        deliver(makeRecord(5, 6, 7, 8));
        plugin->stop();
        if (localName() != clock.name())
            continue; // the clock moved on: the names shifted

        ASSERT_EQ(60u, sixty.size()) << "no file once 60 names are taken";
        const std::vector<std::string> files = listFiles(folder);
        ASSERT_EQ(60u, files.size());
        for (int k = 0; k < 59; ++k) {
            if (k != 5) {
                EXPECT_EQ(decoy, readFile(folder + clock.name(k))) << k;
            }
        }
        EXPECT_EQ(expectedHeader(clock.name(59)) + kExampleLine + kFooter,
                  readFile(folder + clock.name(59)));
        const std::string retried = readFile(folder + clock.name(5));
        const std::string header = expectedHeader(clock.name(5));
        EXPECT_EQ(header, retried.substr(0, header.size()));
        EXPECT_NE(std::string::npos, retried.find("lon=\"5.000000\""));
        return;
    }
    GTEST_SKIP() << "the clock moved on during every attempt";
}

// A folder named like the period's track takes the name as a file does:
// the period moves on a second, and the folder is left as it was.
TEST_F(Recorder, AFolderNamedLikeTheTrackMovesThePeriodOnASecond) {
    init(folder);
    for (int attempt = 0; attempt < 5; ++attempt) {
        freshFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        const TestClock clock;
        makeFolders(folder + clock.name(0));
        makeFolders(folder + clock.name(1));
        plugin->start();
        deliver(examplePoint());
        plugin->stop();
        if (localName() != clock.name())
            continue; // the clock moved on: the names shifted

        EXPECT_TRUE(std::filesystem::is_directory(folder + clock.name(0)));
        EXPECT_TRUE(std::filesystem::is_empty(folder + clock.name(1)));
        EXPECT_EQ(expectedHeader(clock.name(2)) + kExampleLine + kFooter,
                  readFile(folder + clock.name(2)));
        return;
    }
    GTEST_SKIP() << "the clock moved on during every attempt";
}

// An empty folder setting gives a bare name, in the current directory.
TEST_F(Recorder, AnEmptyFolderWritesABareNameInTheCurrentDirectory) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    init("");
    plugin->start();
    const std::string before = localName();
    deliver(examplePoint());
    const std::string after = localName();
    plugin->stop();
    std::filesystem::current_path(previous);
    const std::string name = onlyFile();
    EXPECT_TRUE(name == before || name == after) << name;
    EXPECT_EQ(expectedHeader(name) + kExampleLine + kFooter, readFile(folder + name));
}

TEST_F(Recorder, ForgetsAClosedFileWhateverTheOrderOfCalls) {
    init(folder);
    plugin->start();
    deliver(examplePoint());
    plugin->stop();
    const std::string name = onlyFile();
    const std::string complete = readFile(folder + name);

    // A file the host opens now may get the closed file's handle number.
    std::FILE* other = std::fopen((folder + "other.txt").c_str(), "wb");
    ASSERT_NE(nullptr, other);
    // Periods and de-inits without a usable position must touch nothing.
    plugin->start();
    plugin->stop();
    plugin->start();
    plugin->deInit();
    plugin->deInit();
    plugin->stop();
    plugin->stop();
    std::fputs("host data", other);
    std::fclose(other);
    EXPECT_EQ("host data", readFile(folder + "other.txt"));
    EXPECT_EQ(complete, readFile(folder + name));
}

TEST_F(Recorder, MissingFolderIsNotCreatedAndEveryRecordRetries) {
#if defined(_WIN32)
    const std::string missing = folder + "missing\\";
#else
    const std::string missing = folder + "missing/";
#endif
    init(missing);
    plugin->start();
    for (int i = 0; i < 3; ++i)
        deliver(examplePoint());
    plugin->stop();
    EXPECT_TRUE(listFiles(folder).empty());

    // The recorder stayed waiting: with a folder that exists it records.
    init(folder);
    plugin->start();
    deliver(examplePoint());
    plugin->stop();
    EXPECT_EQ(1u, listFiles(folder).size());
}

TEST_F(Recorder, TreatsNonFiniteValuesLikeNoFix) {
    init(folder);
    plugin->start();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    deliver(makeRecord(nan, 51, 12, 1));
    deliver(makeRecord(0, -inf, 12, 1));
    deliver(makeRecord(0, 51, inf, 1));
    deliver(makeRecord(0, 51, 12, -nan));
    EXPECT_TRUE(listFiles(folder).empty()) << "no file for records without numbers";
    deliver(examplePoint());
    deliver(makeRecord(nan, nan, nan, nan));
    plugin->stop();
    const std::string name = onlyFile();
    EXPECT_EQ(expectedHeader(name) + kExampleLine + kFooter, readFile(folder + name));
}

TEST_F(Recorder, AFolderTheFileSystemCannotNameFailsCleanly) {
    // An unpaired surrogate has no UTF-8 form; Windows names may hold one.
    WideString bad = wide(folder);
    bad.push_back(0xD800);
    bad += wide("x");
    host.store[wide("tracks_path")] = bad;
    ASSERT_EQ(1, plugin->init(host.context()));
    plugin->start();
    deliver(examplePoint());
#if !defined(_WIN32)
    EXPECT_TRUE(listFiles(folder).empty());
#endif
    // Still waiting: a good folder given at the next PluginInit records.
    std::string good = freshFolder("AFolderTheFileSystemCannotNameFailsCleanly_good");
    init(good);
    deliver(examplePoint());
    plugin->stop();
    EXPECT_EQ(1u, listFiles(good).size());
}

#if !defined(_WIN32)
// Wide folder names reach a UTF-8 file system as UTF-8: one, two, three and
// four bytes per character (the last from a surrogate pair).
TEST_F(Recorder, NonAsciiFoldersAreNamedInUtf8) {
    const std::string utf8 = folder + "a\xC3\xA9\xE6\xB0\xB4\xF0\x9F\x98\x80/";
    makeFolders(utf8);
    WideString path = wide(folder);
    const WideChar units[] = {'a', 0x00E9, 0x6C34, 0xD83D, 0xDE00, '/'};
    path.append(units, units + 6);
    host.store[wide("tracks_path")] = path;
    ASSERT_EQ(1, plugin->init(host.context()));
    plugin->start();
    deliver(examplePoint());
    plugin->stop();
    const std::vector<std::string> files = listFiles(utf8);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(expectedHeader(files[0]) + kExampleLine + kFooter, readFile(utf8 + files[0]));
}
#endif

TEST_F(Recorder, TheLongestFolderKeepsTheWholeName) {
    // A folder of exactly 254 characters, built of nested folders.
    std::string longFolder = folder;
    const char sep = longFolder.back();
    while (longFolder.size() < 254) {
        const size_t room = 254 - longFolder.size();
        longFolder += std::string(room > 100 ? 99 : room - 1, 'd') + sep;
    }
    ASSERT_EQ(254u, longFolder.size());
    makeFolders(longFolder);
    init(longFolder);
    plugin->start();
    const std::string before = localName();
    deliver(examplePoint());
    const std::string after = localName();
    plugin->stop();
    std::vector<std::string> files = listFiles(longFolder);
#if defined(_WIN32)
    // Beyond MAX_PATH Windows may refuse the name; a cut name never appears.
    ASSERT_LE(files.size(), 1u);
    if (files.empty())
        return;
#endif
    ASSERT_EQ(1u, files.size());
    EXPECT_TRUE(files[0] == before || files[0] == after) << files[0];
}

// Many points of varying length, each written over the footer of the one
// before, across many pages of the file. The values are multiples of 1/64,
// whose "%f" text is exact on every C runtime.
TEST_F(Recorder, ALongTrackOfEveryLineLengthComesOutWhole) {
    init(folder);
    plugin->start();
    std::string expectedPoints;
    for (int i = 0; i < 3000; ++i) {
        const float lon = static_cast<float>((i * 37 % 23040) - 11520) / 64.0f;
        const float lat = static_cast<float>((i * 53 % 11520) - 5760) / 64.0f;
        const float ele = static_cast<float>(i % 7 == 0 ? -i * 4096 : i) / 64.0f;
        const float hdop = static_cast<float>(i % 640) / 64.0f;
        GpsRecord r = makeRecord(lon, lat, ele, hdop);
        r.year = 2010 + i % 3 * 4000;
        r.hour = static_cast<uint8_t>(i % 24);
        r.minute = static_cast<uint8_t>(i % 60);
        r.second = static_cast<uint8_t>(i * 7 % 60);
        deliver(r);
        char line[256];
        std::snprintf(line, sizeof line,
                      "<trkpt lon=\"%f\" lat=\"%f\"><time>%04d-%02d-%02dT%02d:%02d:%02dZ</time>"
                      "<type>MWP</type><ele>%f</ele><hdop>%f</hdop></trkpt>\r\n",
                      static_cast<double>(lon), static_cast<double>(lat), r.year, r.month, r.day,
                      r.hour, r.minute, r.second, static_cast<double>(ele),
                      static_cast<double>(hdop));
        expectedPoints += line;
    }
    plugin->stop();
    const std::string name = onlyFile();
    const std::string text = readFile(folder + name);
    ASSERT_GT(expectedPoints.size(), 40u * 8192u);
    EXPECT_EQ(expectedHeader(name) + expectedPoints + kFooter, text);
}

// Values that printf implementations round differently, and extremes.
struct PointCase {
    float lon, lat, ele, hdop;
    int32_t year;
    uint8_t month, day, hour, minute, second;
    const char* line;
};
const PointCase kPointCases[] = {
    {0.0078125f, 0.0234375f, -0.0f, 1e-7f, 2010, 5, 20, 14, 3, 7,
     "<trkpt lon=\"0.007812\" lat=\"0.023438\"><time>2010-05-20T14:03:07Z</time><type>MWP</type>"
     "<ele>-0.000000</ele><hdop>0.000000</hdop></trkpt>\r\n"},
    {123456.789f, -179.99999f, 3.4028234663852886e38f, 1.4e-45f, 12345, 1, 2, 3, 4, 5,
     "<trkpt lon=\"123456.789062\" lat=\"-179.999985\"><time>12345-01-02T03:04:05Z</time>"
     "<type>MWP</type><ele>340282346638528859811704183484516925440.000000</ele>"
     "<hdop>0.000000</hdop></trkpt>\r\n"},
    {-1e-7f, 90.0f, 1e20f, 2.5e-6f, -1, 255, 0, 99, 60, 61,
     "<trkpt lon=\"-0.000000\" lat=\"90.000000\"><time>-001-255-00T99:60:61Z</time>"
     "<type>MWP</type><ele>100000002004087734272.000000</ele><hdop>0.000002</hdop></trkpt>\r\n"},
    {0.1f, 8388608.5f, 4503599627370496.0f, 0.5f, 2147483647, 12, 31, 23, 59, 59,
     "<trkpt lon=\"0.100000\" lat=\"8388608.000000\"><time>2147483647-12-31T23:59:59Z</time>"
     "<type>MWP</type><ele>4503599627370496.000000</ele><hdop>0.500000</hdop></trkpt>\r\n"},
};

TEST_F(Recorder, WritesTheSameBytesOnEveryTargetAndInEveryLocale) {
    // A locale whose decimal separator is a comma, as a host may set.
#if defined(_WIN32)
    const char* comma = std::setlocale(LC_ALL, "German_Germany.1252");
#else
    const char* comma = std::setlocale(LC_ALL, "de_DE.UTF-8");
#endif
    ASSERT_NE(nullptr, comma) << "a comma-decimal locale is needed (scripts/setup.sh makes one)";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ("1,5", probe);

    init(folder);
    plugin->start();
    std::string expectedPoints;
    for (const PointCase& c : kPointCases) {
        GpsRecord r = makeRecord(c.lon, c.lat, c.ele, c.hdop);
        r.year = c.year;
        r.month = c.month;
        r.day = c.day;
        r.hour = c.hour;
        r.minute = c.minute;
        r.second = c.second;
        deliver(r);
        expectedPoints += c.line;
    }
    plugin->stop();
    std::setlocale(LC_ALL, "C");
    const std::string name = onlyFile();
    EXPECT_EQ(expectedHeader(name) + expectedPoints + kFooter, readFile(folder + name));
}

// Writes a track for the interop check, which reads it back with other
// programs after this suite has run.
TEST_F(Recorder, WritesATrackForOtherReaders) {
    const std::string out = freshFolder("interop-work");
    init(out);
    plugin->start();
    for (int i = 0; i < 50; ++i) {
        GpsRecord r = makeRecord(-0.5f + i * 0.001f, 51.25f + i * 0.0005f, 12.0f + i, 1.5f);
        r.minute = static_cast<uint8_t>(i / 60 + 3);
        r.second = static_cast<uint8_t>(i % 60);
        deliver(r);
    }
    plugin->stop();
    std::vector<std::string> files = listFiles(out);
    ASSERT_EQ(1u, files.size());
    writeFile(programFolder() + "test-output/interop.gpx", readFile(out + files[0]));
}

} // namespace
