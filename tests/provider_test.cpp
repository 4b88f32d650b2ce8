// The GPS provider, loaded through the system's loader and driven through
// its descriptor as a host drives it, against the simulated GPS driver.
#include "../harness/plugin_host.h"
#include "../harness/plugin_library.h"
#include "../harness/simulated_driver.h"
#include "../harness/test_files.h"
#include "support/descriptor_check.h"
#include "support/eventually.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kEveryField = 0x3FFFF;

// Reading SEQ: position and satellites derived from SEQ.
GPS_POSITION makeReading(uint32_t seq) {
    GPS_POSITION p = blankReading(kEveryField, GPS_FIX_3D);
    p.stUTCTime.wYear = 2010;
    p.stUTCTime.wMonth = 5;
    p.stUTCTime.wDay = 20;
    p.stUTCTime.wHour = 14;
    p.stUTCTime.wMinute = 3;
    p.stUTCTime.wSecond = 7;
    p.stUTCTime.wMilliseconds = 250;
    p.dblLongitude = seq;
    p.dblLatitude = seq + 0.5;
    p.flAltitudeWRTEllipsoid = 12.0f;
    p.flSpeed = 10.0f;
    p.flHeading = 90.0f;
    p.flHorizontalDilutionOfPrecision = 1.5f;
    p.dwSatelliteCount = 1;
    p.rgdwSatellitesUsedPRNs[0] = 17;
    p.dwSatellitesInView = 2;
    p.rgdwSatellitesInViewPRNs[0] = 5;
    p.rgdwSatellitesInViewPRNs[1] = 17;
    p.rgdwSatellitesInViewElevation[0] = seq;
    p.rgdwSatellitesInViewElevation[1] = seq + 1;
    p.rgdwSatellitesInViewAzimuth[1] = 300;
    p.rgdwSatellitesInViewSignalToNoiseRatio[1] = 42;
    return p;
}

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

class Provider : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(SimulatedDriver::isLoaded()) << "an earlier test left the driver loaded";
    }

    void TearDown() override {
        // The host always ends with PluginDeInit; then the libraries go.
        if (plugin != nullptr) {
            EXPECT_EQ(1, plugin->deInit());
        }
        plugin = nullptr;
        provider.reset();
        driver.reset();
        EXPECT_FALSE(SimulatedDriver::isLoaded())
            << "the provider kept a reference to the driver library";
    }

    void loadDriver(const std::string& folder = "driver") {
        driver = std::make_unique<SimulatedDriver>(folder);
        ASSERT_TRUE(driver->ok()) << "cannot load " << driver->path();
        driver->reset();
    }
    void loadProvider() {
        provider = std::make_unique<PluginLibrary>(programFolder() + libraryFileName("orvane"));
        ASSERT_TRUE(provider->ok()) << "cannot load " << libraryFileName("orvane");
        plugin = provider->descriptor();
    }
    // The driver, the provider, PluginInit and PluginStart.
    void startProvider() {
        ASSERT_NO_FATAL_FAILURE(loadDriver());
        ASSERT_NO_FATAL_FAILURE(loadProvider());
        ASSERT_EQ(1, plugin->init(host.context()));
        ASSERT_EQ(1, plugin->start());
    }

    bool fetchPosition(GpsRecord* r) {
        return eventually([&] { return plugin->gpsData.getPosition(r) == 1; });
    }
    bool fetchSatellites(std::vector<SatelliteRecord>* table, int32_t* count) {
        table->assign(SATELLITE_TABLE_SIZE, SatelliteRecord());
        return eventually([&] { return plugin->getSatellites(table->data(), count) == 1; });
    }
    // Slots 14 and 15 have nothing new right now.
    bool nothingNew() {
        GpsRecord r;
        SatelliteRecord table[SATELLITE_TABLE_SIZE];
        int32_t count = -1;
        return plugin->gpsData.getPosition(&r) == 0 && plugin->getSatellites(table, &count) == 0;
    }

    std::unique_ptr<SimulatedDriver> driver;
    std::unique_ptr<PluginLibrary> provider;
    PluginDescriptor* plugin = nullptr;
    FakeHost host;
};

TEST_F(Provider, DescriptorHoldsTheContractValuesOnEveryCall) {
    ASSERT_NO_FATAL_FAILURE(loadProvider());
    expectOurDescriptor(*provider, plugin, 16, 1001, "ORVANE");

    // Before PluginStart there is nothing to hand out.
    EXPECT_TRUE(nothingNew());
}

TEST_F(Provider, WithoutADriverLibraryNothingStarts) {
    ASSERT_NO_FATAL_FAILURE(loadProvider());
    host.store[wide("log_file")] = wide("\\kept.log");
    EXPECT_EQ(0, plugin->init(host.context()));
    EXPECT_TRUE(host.getCalls.empty());
    EXPECT_TRUE(host.setCalls.empty());
    EXPECT_EQ(1u, host.store.size());
    EXPECT_EQ(0, plugin->start());
    EXPECT_TRUE(nothingNew());
    EXPECT_EQ(1, plugin->stop());
}

TEST_F(Provider, ADriverLackingAnEntryIsNeverCalled) {
    for (const char* entry :
         {"GPSOpenDevice", "GPSCloseDevice", "GPSGetPosition", "GPSGetDeviceState"}) {
        SCOPED_TRACE(entry);
        ASSERT_NO_FATAL_FAILURE(loadDriver(std::string("driver-without-") + entry));
        ASSERT_NO_FATAL_FAILURE(loadProvider());
        // As good as no library: PluginInit fails before touching the
        // settings, and PluginStart has nothing to start.
        EXPECT_EQ(0, plugin->init(host.context()));
        EXPECT_TRUE(host.getCalls.empty());
        EXPECT_TRUE(host.setCalls.empty());
        EXPECT_EQ(0, plugin->start());
        const SimGpsCounters c = driver->counters();
        EXPECT_EQ(0, c.opens);
        EXPECT_EQ(0, c.stateQueries);
        EXPECT_EQ(0, c.fetches);
        EXPECT_EQ(0, c.closes);
        TearDown();
    }
}

TEST_F(Provider, TakesTheHostsEntriesOnlyOnceTheDriverIsBound) {
    ASSERT_NO_FATAL_FAILURE(loadProvider());
    EXPECT_EQ(0, plugin->init(host.context()));
    // A later host offers no settings entries: had the failed PluginInit
    // taken the first host's, they would be called for this one.
    ASSERT_NO_FATAL_FAILURE(loadDriver());
    FakeHost bare(4);
    EXPECT_EQ(1, plugin->init(bare.context()));
    EXPECT_TRUE(bare.getCalls.empty());
    EXPECT_TRUE(bare.setCalls.empty());
}

TEST_F(Provider, FirstInitSeedsTheDefaults) {
    ASSERT_NO_FATAL_FAILURE(loadDriver());
    ASSERT_NO_FATAL_FAILURE(loadProvider());
    ASSERT_EQ(1, plugin->init(host.context()));
    const std::vector<WideString> keys = {wide("log_file"), wide("log_enabled"),
                                          wide("trace_level")};
    EXPECT_EQ(keys, host.getCalls);
    EXPECT_EQ(keys, host.setCalls);
    EXPECT_EQ("\\orvane.log", narrow(host.store[wide("log_file")]));
    EXPECT_EQ("false", narrow(host.store[wide("log_enabled")]));
    EXPECT_EQ("0", narrow(host.store[wide("trace_level")]));

    // Values in the store are taken, not seeded over.
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_EQ(3u, host.setCalls.size());
    EXPECT_EQ(6u, host.getCalls.size());
}

TEST_F(Provider, KeepsItsOwnCopyOfTheLogFileName) {
    ASSERT_NO_FATAL_FAILURE(loadDriver());
    ASSERT_NO_FATAL_FAILURE(loadProvider());
    // 300 characters, of which 254 are kept.
    std::string name = "\\";
    while (name.size() < 300)
        name += char('a' + name.size() % 26);
    host.store[wide("log_file")] = wide(name);
    host.store[wide("log_enabled")] = wide("true");
    host.store[wide("trace_level")] = wide("99999999999999999999");
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_TRUE(host.setCalls.empty());

    // The host's strings go away; the next PluginInit seeds the copy.
    host.store.clear();
    host.store[wide("unrelated")] = wide(std::string(300, 'x'));
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_EQ(name.substr(0, 254), narrow(host.store[wide("log_file")]));
    EXPECT_EQ("false", narrow(host.store[wide("log_enabled")]));
    EXPECT_EQ("0", narrow(host.store[wide("trace_level")]));
}

TEST_F(Provider, OpensTheDeviceAndDeliversReadingsThroughSlots14And15) {
    ASSERT_NO_FATAL_FAILURE(startProvider());
    SimGpsCounters c = driver->counters();
    EXPECT_EQ(1, c.openDevices);
    EXPECT_EQ(1, c.opens);
    EXPECT_EQ(2, c.eventsHeld);
    EXPECT_EQ(1, c.lastOpenNameWasNull);
    EXPECT_EQ(0u, c.lastOpenFlags);
    EXPECT_EQ(1, c.stateQueries);
    EXPECT_EQ(1u, c.lastDeviceVersion);
    EXPECT_EQ(216u, c.lastDeviceSize);
    EXPECT_EQ(0, c.fetches);
    EXPECT_TRUE(nothingNew());

    driver->push(makeReading(7));
    GpsRecord r;
    ASSERT_TRUE(fetchPosition(&r));
    EXPECT_EQ(7.0f, r.longitude);
    EXPECT_EQ(7.5f, r.latitude);
    EXPECT_EQ(12.0f, r.altitude);
    EXPECT_EQ(0x419428F6u, bitsOf(r.speed));
    EXPECT_EQ(1.5f, r.hdop);
    EXPECT_EQ(FIX_3D, r.fixStatus);
    EXPECT_EQ(2010, r.year);
    EXPECT_EQ(5, r.month);
    EXPECT_EQ(20, r.day);
    EXPECT_EQ(250, r.milliseconds);

    std::vector<SatelliteRecord> table;
    int32_t count = -1;
    ASSERT_TRUE(fetchSatellites(&table, &count));
    ASSERT_EQ(2, count);
    EXPECT_EQ(5, table[0].prn);
    EXPECT_EQ(0, table[0].used);
    EXPECT_EQ(7u, table[0].elevation);
    EXPECT_EQ(17, table[1].prn);
    EXPECT_EQ(1, table[1].used);
    EXPECT_EQ(300, table[1].azimuth);
    EXPECT_EQ(42u, table[1].snr);

    c = driver->counters();
    EXPECT_EQ(1, c.fetches);
    EXPECT_EQ(50000u, c.lastMaximumAge);
    EXPECT_EQ(0u, c.lastFetchFlags);
    EXPECT_EQ(1u, c.lastPositionVersion);
    EXPECT_EQ(344u, c.lastPositionSize);
    // Each publication once.
    EXPECT_TRUE(nothingNew());

    ASSERT_EQ(1, plugin->deInit());
    c = driver->counters();
    EXPECT_EQ(0, c.openDevices);
    EXPECT_EQ(1, c.closes);
    EXPECT_EQ(0, c.eventsHeld);
    EXPECT_EQ(0, c.callsAfterClose);
}

TEST_F(Provider, NothingOfAnEndedRunIsHandedOut) {
    ASSERT_NO_FATAL_FAILURE(startProvider());
    driver->push(makeReading(8));
    ASSERT_TRUE(eventually([&] { return driver->counters().fetches == 1; }));
    // The reader finishes that conversion before it sees the stop.
    ASSERT_EQ(1, plugin->deInit());
    EXPECT_TRUE(nothingNew());
    ASSERT_EQ(1, plugin->init(host.context()));
    EXPECT_TRUE(nothingNew());
    ASSERT_EQ(1, plugin->start());
    EXPECT_TRUE(nothingNew());
}

TEST_F(Provider, ANewRunStartsFromNothing) {
    ASSERT_NO_FATAL_FAILURE(startProvider());
    driver->push(makeReading(3));
    GpsRecord r;
    std::vector<SatelliteRecord> table;
    int32_t count = -1;
    ASSERT_TRUE(fetchPosition(&r));
    ASSERT_TRUE(fetchSatellites(&table, &count));
    ASSERT_EQ(1, plugin->deInit());

    // The next run's first reading marks only the position and elevations:
    // every other field is as at load, none the previous run's.
    ASSERT_EQ(1, plugin->init(host.context()));
    ASSERT_EQ(1, plugin->start());
    GPS_POSITION p = makeReading(4);
    p.dwValidFields =
        GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE | GPS_VALID_SATELLITES_IN_VIEW_ELEVATION;
    driver->push(p);
    ASSERT_TRUE(fetchPosition(&r));
    GpsRecord expected;
    std::memset(&expected, 0, sizeof expected);
    expected.longitude = 4.0f;
    expected.latitude = 4.5f;
    expected.fixStatus = FIX_3D;
    EXPECT_EQ(0, std::memcmp(&expected, &r, sizeof r));
    ASSERT_TRUE(fetchSatellites(&table, &count));
    EXPECT_EQ(0, count);
}

// The readings that the ARM build's emulated run converts too (tests/arm):
// every target hands out exactly the records worked out in records.bin.
TEST_F(Provider, HandsOutTheSharedReadingsByteForByte) {
    const std::string folder = testDataFolder("arm");
    const std::string readings = readFile(folder + "readings.bin");
    const std::string records = readFile(folder + "records.bin");
    const size_t kRecordSize = 244, n = readings.size() / sizeof(GPS_POSITION);
    ASSERT_GT(n, 0u);
    ASSERT_EQ(n * kRecordSize, records.size());
    ASSERT_NO_FATAL_FAILURE(startProvider());
    for (size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        GPS_POSITION p;
        std::memcpy(&p, readings.data() + i * sizeof p, sizeof p);
        driver->push(p);
        const char* expected = records.data() + i * kRecordSize;
        ASSERT_EQ(1, expected[0] & expected[1]) << "each shared reading publishes both";
        GpsRecord r;
        ASSERT_TRUE(fetchPosition(&r));
        EXPECT_EQ(0, std::memcmp(expected + 4, &r, sizeof r));
        std::vector<SatelliteRecord> table;
        int32_t count = -1, expectedCount = 0;
        ASSERT_TRUE(fetchSatellites(&table, &count));
        std::memcpy(&expectedCount, expected + 48, sizeof expectedCount);
        ASSERT_EQ(expectedCount, count);
        EXPECT_EQ(0, std::memcmp(expected + 52, table.data(), count * sizeof(SatelliteRecord)));
    }
}

TEST_F(Provider, ADeviceStateSignalAlonePublishesNothing) {
    ASSERT_NO_FATAL_FAILURE(startProvider());
    driver->signalDeviceState();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, driver->counters().fetches);
    EXPECT_TRUE(nothingNew());

    // The reader thread is still there: the next reading gets through, and
    // it alone.
    driver->push(makeReading(3));
    GpsRecord r;
    ASSERT_TRUE(fetchPosition(&r));
    EXPECT_EQ(3.0f, r.longitude);
    driver->signalDeviceState();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(1, driver->counters().fetches);
    EXPECT_EQ(0, plugin->gpsData.getPosition(&r));
}

TEST_F(Provider, AFailedFetchPublishesNothing) {
    ASSERT_NO_FATAL_FAILURE(startProvider());
    driver->setFailures(SIMGPS_FAIL_FETCH);
    driver->push(makeReading(4));
    ASSERT_TRUE(eventually([&] { return driver->counters().fetches == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(nothingNew());
    driver->setFailures(0);
    driver->push(makeReading(5));
    GpsRecord r;
    ASSERT_TRUE(fetchPosition(&r));
    EXPECT_EQ(5.0f, r.longitude);
}

TEST_F(Provider, KeepsDeliveringAfterStop) {
    ASSERT_NO_FATAL_FAILURE(startProvider());
    ASSERT_EQ(1, plugin->stop());
    for (uint32_t seq = 1; seq <= 3; ++seq) {
        driver->push(makeReading(seq));
        GpsRecord r;
        ASSERT_TRUE(fetchPosition(&r)) << seq;
        EXPECT_EQ(static_cast<float>(seq), r.longitude);
    }
    EXPECT_EQ(1, driver->counters().openDevices);
}

TEST_F(Provider, ASecondStartWhileRunningChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(startProvider());
    const int threads = countThreads();
    EXPECT_EQ(1, plugin->start());
    EXPECT_EQ(threads, countThreads());
    const SimGpsCounters c = driver->counters();
    EXPECT_EQ(1, c.opens);
    EXPECT_EQ(1, c.openDevices);
    EXPECT_EQ(1, c.stateQueries);
    EXPECT_EQ(2, c.eventsHeld);

    driver->push(makeReading(9));
    GpsRecord r;
    ASSERT_TRUE(fetchPosition(&r));
    EXPECT_EQ(9.0f, r.longitude);
}

TEST_F(Provider, AFailedStartReleasesEverythingOnce) {
    for (uint32_t failure : {SIMGPS_FAIL_OPEN, SIMGPS_FAIL_STATE}) {
        SCOPED_TRACE(failure == SIMGPS_FAIL_OPEN ? "open fails" : "state query fails");
        ASSERT_NO_FATAL_FAILURE(loadDriver());
        ASSERT_NO_FATAL_FAILURE(loadProvider());
        ASSERT_EQ(1, plugin->init(host.context()));
        const ProcessResources before = processResources();
        driver->setFailures(failure);
        EXPECT_EQ(0, plugin->start());
        SimGpsCounters c = driver->counters();
        EXPECT_EQ(0, c.openDevices);
        EXPECT_EQ(0, c.eventsHeld);
        EXPECT_EQ(failure == SIMGPS_FAIL_STATE ? 1 : 0, c.closes);
        ProcessResources after;
        EXPECT_TRUE(eventually([&] {
            return (after = processResources()).leavesNothingSince(before);
        })) << "before "
            << describe(before) << ", after " << describe(after);

        // The library went with the rest: a later start fails without
        // calling into it, and the host's own PluginDeInit releases nothing
        // a second time.
        driver->setFailures(0);
        EXPECT_EQ(0, plugin->start());
        EXPECT_EQ(1, plugin->deInit());
        EXPECT_EQ(1, plugin->deInit());
        const SimGpsCounters later = driver->counters();
        EXPECT_EQ(c.opens, later.opens);
        EXPECT_EQ(c.stateQueries, later.stateQueries);
        EXPECT_EQ(c.closes, later.closes);
        EXPECT_EQ(0, later.callsAfterClose);

        // A new PluginInit binds the driver again.
        ASSERT_EQ(1, plugin->init(host.context()));
        ASSERT_EQ(1, plugin->start());
        driver->push(makeReading(11));
        GpsRecord r;
        ASSERT_TRUE(fetchPosition(&r));
        EXPECT_EQ(11.0f, r.longitude);
        TearDown();
    }
}

TEST_F(Provider, DeInitWhileReadingsFlowLeavesNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(loadDriver());
    ASSERT_NO_FATAL_FAILURE(loadProvider());
    const ProcessResources before = processResources();
    const int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(1, plugin->init(host.context()));
        ASSERT_EQ(1, plugin->start());

        GpsRecord r;
        driver->push(makeReading(1));
        ASSERT_TRUE(fetchPosition(&r));
        // A burst of readings, and PluginDeInit while the reader thread is
        // still busy with them. (The readings come from this thread: under
        // Wine on an emulated 32-bit machine a third busy thread crashes
        // Wine itself.)
        for (uint32_t seq = 2; seq < 2 + static_cast<uint32_t>(round % 8) * 4; ++seq)
            driver->push(makeReading(seq));
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(1, plugin->deInit());
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

        const SimGpsCounters c = driver->counters();
        EXPECT_EQ(0, c.openDevices);
        EXPECT_EQ(0, c.eventsHeld);
        EXPECT_EQ(round + 1, c.closes);
        EXPECT_EQ(0, c.callsAfterClose);
        // A joined thread may linger a moment in the system's lists; a
        // thread left running never leaves them.
        ASSERT_TRUE(eventually([&] { return countThreads() <= before.threads; }))
            << countThreads() << " threads, " << before.threads << " before";
        if (HasFailure())
            break;
    }
    ProcessResources after;
    EXPECT_TRUE(eventually([&] { return (after = processResources()).leavesNothingSince(before); }))
        << "before " << describe(before) << ", after " << describe(after);
}

} // namespace
