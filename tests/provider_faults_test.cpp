// The provider over a failing platform and a failing driver: orvane_faults,
// the provider built over the fault-injection platform layer, loaded
// through the system's loader beside the simulated driver. Each fault must
// give a clear result from the entry that meets it, and leave no thread,
// event, library or device behind, nor release anything twice.
#include "../harness/plugin_host.h"
#include "../harness/simulated_driver.h"
#include "fixtures/journal_driver.h"
#include "support/eventually.h"
#include "support/fault_plugin.h"
#include "support/test_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

GPS_POSITION makeReading(uint32_t seq) {
    GPS_POSITION p = blankReading(GPS_VALID_LONGITUDE | GPS_VALID_LATITUDE, GPS_FIX_3D);
    p.dblLongitude = seq;
    p.dblLatitude = 0.25;
    return p;
}

// Threads of the process now. A sanitizer's runtime starts a helper thread
// with the process's first thread; one started and joined here first keeps
// that out of the count.
int threadBaseline() {
    TestThread([] {}).join();
    return countThreads();
}

class ProviderFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(driver.ok()) << "cannot load " << driver.path();
        driver.reset();
        ASSERT_TRUE(library.ok()) << "cannot load " << libraryFileName("orvane_faults");
        plugin = library.descriptor();
        library.reset();
        threadsBefore = threadBaseline();
    }

    void TearDown() override {
        EXPECT_EQ(1, plugin->deInit());
        expectNothingHeld();
    }

    // Nothing of the provider's is open or running, and nothing was
    // released twice or used after its release.
    void expectNothingHeld() {
        const PlatformFaultCounters c = library.counters();
        EXPECT_EQ(0, c.openEvents);
        EXPECT_EQ(0, c.openLibraries);
        EXPECT_EQ(0, c.runningThreads);
        EXPECT_EQ(0, c.badHandles);
        const SimGpsCounters d = driver.counters();
        EXPECT_EQ(0, d.openDevices);
        EXPECT_EQ(0, d.eventsHeld);
        EXPECT_EQ(0, d.callsAfterClose);
        // No more threads than before: an emulator may also end one of its
        // own helper threads meanwhile, so the count may drop.
        EXPECT_TRUE(eventually([&] { return countThreads() <= threadsBefore; }))
            << countThreads() << " threads, " << threadsBefore << " before";
    }

    // After a fault the provider works again once the platform does.
    void expectRecovery() {
        library.reset();
        driver.setFailures(0);
        ASSERT_EQ(1, plugin->init(host.context()));
        ASSERT_EQ(1, plugin->start());
        driver.push(makeReading(77));
        GpsRecord r;
        ASSERT_TRUE(eventually([&] { return plugin->gpsData.getPosition(&r) == 1; }));
        EXPECT_EQ(77.0f, r.longitude);
        EXPECT_EQ(1, plugin->deInit());
        expectNothingHeld();
    }

    // The driver first, so that the provider's load by name finds it.
    SimulatedDriver driver;
    FaultPlugin library{"orvane"};
    PluginDescriptor* plugin = nullptr;
    FakeHost host;
    int threadsBefore = 0;
};

TEST_F(ProviderFaults, AFailedLibraryLoadFailsInitAndStartAndTouchesNoSetting) {
    library.arm(FAULT_LIBRARY_LOAD, 1);
    EXPECT_EQ(0, plugin->init(host.context()));
    EXPECT_EQ(0, plugin->start());
    EXPECT_TRUE(host.getCalls.empty());
    EXPECT_TRUE(host.setCalls.empty());
    EXPECT_EQ(0, driver.counters().opens);
    EXPECT_EQ(1, library.counters().injected[FAULT_LIBRARY_LOAD]);
    expectRecovery();
}

TEST_F(ProviderFaults, AnEntryMissingAtAnyPositionFailsInitAndFreesTheLibrary) {
    for (int32_t entry = 1; entry <= 4; ++entry) {
        SCOPED_TRACE(entry);
        library.reset();
        library.arm(FAULT_LIBRARY_SYMBOL, entry);
        host.getCalls.clear();
        EXPECT_EQ(0, plugin->init(host.context()));
        EXPECT_EQ(0, plugin->start());
        EXPECT_TRUE(host.getCalls.empty());
        EXPECT_EQ(0, library.counters().openLibraries);
        EXPECT_EQ(1, library.counters().injected[FAULT_LIBRARY_SYMBOL]);
    }
    EXPECT_EQ(0, driver.counters().opens);
    expectRecovery();
}

TEST_F(ProviderFaults, AFailedEventCreationFailsStartAndReleasesEverything) {
    // The provider creates its events one after the other; each may fail.
    for (int32_t which = 1; which <= 3; ++which) {
        SCOPED_TRACE(which);
        library.reset();
        ASSERT_EQ(1, plugin->init(host.context()));
        library.arm(FAULT_EVENT_CREATE, which);
        EXPECT_EQ(0, plugin->start());
        EXPECT_EQ(1, library.counters().injected[FAULT_EVENT_CREATE]);
        // A failed start releases the library too: starting again fails
        // without calling into it.
        EXPECT_EQ(0, plugin->start());
        EXPECT_EQ(1, plugin->deInit());
        expectNothingHeld();
    }
    EXPECT_EQ(0, driver.counters().opens);
    expectRecovery();
}

TEST_F(ProviderFaults, AFailedThreadStartClosesTheDeviceAndReleasesEverything) {
    ASSERT_EQ(1, plugin->init(host.context()));
    library.arm(FAULT_THREAD_START, 1);
    EXPECT_EQ(0, plugin->start());
    EXPECT_EQ(1, library.counters().injected[FAULT_THREAD_START]);
    const SimGpsCounters d = driver.counters();
    EXPECT_EQ(1, d.opens);
    EXPECT_EQ(1, d.closes);
    expectNothingHeld();
    expectRecovery();
}

TEST_F(ProviderFaults, DriverOpenOrStateFailuresFailStartAndReleaseEverything) {
    for (uint32_t failure : {SIMGPS_FAIL_OPEN, SIMGPS_FAIL_STATE}) {
        SCOPED_TRACE(failure);
        driver.reset();
        ASSERT_EQ(1, plugin->init(host.context()));
        driver.setFailures(failure);
        EXPECT_EQ(0, plugin->start());
        EXPECT_EQ(0, plugin->start());
        EXPECT_EQ(1, plugin->deInit());
        EXPECT_EQ(failure == SIMGPS_FAIL_STATE ? 1 : 0, driver.counters().closes);
        expectNothingHeld();
        driver.setFailures(0);
    }
    expectRecovery();
}

TEST_F(ProviderFaults, FailedFetchesGiveNoDataAndTheReaderCarriesOn) {
    ASSERT_EQ(1, plugin->init(host.context()));
    ASSERT_EQ(1, plugin->start());
    driver.setFailures(SIMGPS_FAIL_FETCH);
    for (uint32_t i = 1; i <= 20; ++i) {
        driver.push(makeReading(i));
        ASSERT_TRUE(eventually([&] { return driver.counters().fetches == static_cast<int>(i); }));
    }
    GpsRecord r;
    EXPECT_EQ(0, plugin->gpsData.getPosition(&r));
    driver.setFailures(0);
    driver.push(makeReading(21));
    ASSERT_TRUE(eventually([&] { return plugin->gpsData.getPosition(&r) == 1; }));
    EXPECT_EQ(21.0f, r.longitude);
}

TEST_F(ProviderFaults, AFailedWaitPausesTheReaderWithoutEndingIt) {
    ASSERT_EQ(1, plugin->init(host.context()));
    library.arm(FAULT_WAIT, 1);
    ASSERT_EQ(1, plugin->start());
    ASSERT_TRUE(eventually([&] { return library.counters().injected[FAULT_WAIT] == 1; }));
    const Clock::time_point failed = Clock::now();
    // The reading arrives during the pause and is read after it, not
    // before: a reader that spun on would read it at once.
    driver.push(makeReading(5));
    GpsRecord r;
    ASSERT_TRUE(
        eventually([&] { return plugin->gpsData.getPosition(&r) == 1; }, std::chrono::seconds(15)));
    EXPECT_EQ(5.0f, r.longitude);
    EXPECT_GE(Clock::now() - failed, std::chrono::milliseconds(4500));
}

TEST_F(ProviderFaults, DeInitEndsTheReaderPromptlyWhateverItsWaitsDo) {
    // Once the first wait has failed (the reader pauses), and while every
    // wait fails (the reader cannot even wait for the stop signal).
    for (int32_t count : {1, FAULT_FOREVER}) {
        SCOPED_TRACE(count);
        library.reset();
        ASSERT_EQ(1, plugin->init(host.context()));
        library.arm(FAULT_WAIT, 1, count);
        ASSERT_EQ(1, plugin->start());
        ASSERT_TRUE(eventually([&] { return library.counters().injected[FAULT_WAIT] >= 1; }));
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(1, plugin->deInit());
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
        library.reset();
        expectNothingHeld();
    }
}

TEST_F(ProviderFaults, RandomCallsUnderRandomFaultsLeakNothing) {
    // Random host calls and driver events while platform calls and driver
    // calls fail at random. Every entry answers 0 or 1, and after each
    // PluginDeInit nothing of the provider's is open or running.
    const int kCalls = 20000;
    const PlatformFaultKind kinds[] = {FAULT_LIBRARY_LOAD, FAULT_LIBRARY_SYMBOL, FAULT_EVENT_CREATE,
                                       FAULT_THREAD_START, FAULT_WAIT};
    const uint32_t driverFailures[] = {SIMGPS_FAIL_OPEN, SIMGPS_FAIL_STATE, SIMGPS_FAIL_FETCH};
    std::mt19937 random(344);
    int32_t injected = 0, driverFaults = 0, startsFailed = 0, startsOk = 0, deInits = 0;
    uint32_t seq = 0;
    auto collect = [&] {
        const PlatformFaultCounters c = library.counters();
        for (int k = 0; k < FAULT_KIND_COUNT; ++k)
            injected += c.injected[k];
        library.reset();
    };
    for (int call = 0; call < kCalls; ++call) {
        const unsigned op = random() % 100;
        if (op < 6) {
            const int32_t r = plugin->init(host.context());
            ASSERT_TRUE(r == 0 || r == 1) << r;
        } else if (op < 14) {
            const int32_t r = plugin->start();
            ASSERT_TRUE(r == 0 || r == 1) << r;
            (r == 1 ? startsOk : startsFailed) += 1;
        } else if (op < 16) {
            ASSERT_EQ(1, plugin->stop());
        } else if (op < 20) {
            ASSERT_EQ(1, plugin->deInit());
            ++deInits;
            const PlatformFaultCounters c = library.counters();
            ASSERT_EQ(0, c.openEvents);
            ASSERT_EQ(0, c.openLibraries);
            ASSERT_EQ(0, c.runningThreads);
            ASSERT_EQ(0, c.badHandles);
            ASSERT_EQ(0, driver.counters().openDevices);
        } else if (op < 26) {
            collect();
            // Mostly faults that fire soon; a failing wait is rare, as the
            // reader pauses after one.
            const unsigned choices = random() % 8 == 0 ? 5 : 4;
            const PlatformFaultKind kind = kinds[random() % choices];
            const int32_t first = static_cast<int32_t>(1 + random() % 4);
            const int32_t count = static_cast<int32_t>(1 + random() % 2);
            library.arm(kind, first, count);
        } else if (op < 30) {
            const uint32_t mask = random() % 2 == 0 ? 0 : driverFailures[random() % 3];
            driverFaults += mask != 0;
            driver.setFailures(mask);
        } else if (op < 60) {
            driver.push(makeReading(++seq));
        } else if (op < 62) {
            driver.signalDeviceState();
        } else if (op < 85) {
            GpsRecord r;
            const int32_t got = plugin->gpsData.getPosition(&r);
            ASSERT_TRUE(got == 0 || got == 1);
        } else if (op < 95) {
            SatelliteRecord table[SATELLITE_TABLE_SIZE];
            int32_t count = 0;
            const int32_t got = plugin->getSatellites(table, &count);
            ASSERT_TRUE(got == 0 || got == 1);
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
        }
    }
    EXPECT_EQ(1, plugin->deInit());
    collect();
    driver.setFailures(0);
    EXPECT_GT(injected, kCalls / 200);
    EXPECT_GT(startsOk, 10);
    std::printf("[ figures  ] provider under faults: %d calls, %d platform faults injected, %d "
                "driver failure switches, %d starts failed and %d succeeded, %d de-inits\n",
                kCalls, static_cast<int>(injected), static_cast<int>(driverFaults),
                static_cast<int>(startsFailed), static_cast<int>(startsOk),
                static_cast<int>(deInits));
    std::fflush(stdout);
}

FaultPlugin* probedPlugin;
int32_t releasesSoFar() {
    return probedPlugin->counters().releaseCount;
}

// PluginDeInit joins the reader thread, then closes the device, then frees
// the driver library, then closes the events; the driver, which records
// its calls with the releases made so far, is never called once freed.
TEST(ProviderRelease, DeInitReleasesInOrderAndNeverCallsAFreedDriver) {
    PluginLibrary driver(driverLibraryPath("driver-journal"));
    ASSERT_TRUE(driver.loaded());
    const auto start = reinterpret_cast<JournalStartFn>(driver.symbol("JournalStart"));
    const auto read = reinterpret_cast<JournalReadFn>(driver.symbol("JournalRead"));
    ASSERT_TRUE(start != nullptr && read != nullptr);
    FaultPlugin library("orvane");
    ASSERT_TRUE(library.ok());
    PluginDescriptor* plugin = library.descriptor();
    FakeHost host;
    ASSERT_EQ(1, plugin->init(host.context()));
    ASSERT_EQ(1, plugin->start());

    library.reset();
    probedPlugin = &library;
    start(releasesSoFar);
    EXPECT_EQ(1, plugin->deInit());
    EXPECT_EQ(0, plugin->start());
    EXPECT_EQ(1, plugin->deInit());
    probedPlugin = nullptr;

    const PlatformFaultCounters c = library.counters();
    const std::vector<int32_t> order(
        c.releases, c.releases + std::min(c.releaseCount, FAULT_RELEASE_JOURNAL_SIZE));
    const std::vector<int32_t> expected = {RELEASE_THREAD_JOIN, RELEASE_LIBRARY_FREE,
                                           RELEASE_EVENT_CLOSE, RELEASE_EVENT_CLOSE,
                                           RELEASE_EVENT_CLOSE};
    EXPECT_EQ(expected, order);
    JournalEntry calls[8];
    ASSERT_EQ(1, read(calls, 8)) << "the driver was called again";
    EXPECT_EQ(JOURNAL_CLOSE, calls[0].call);
    EXPECT_EQ(1, calls[0].probe) << "releases before the device closed; the join alone expected";
    EXPECT_EQ(0, c.badHandles);
}

} // namespace
