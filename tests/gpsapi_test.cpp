// The simulated GPS driver, loaded by its path through the system's loader
// and driven through its exports as the provider and the bench host drive it.
#include "../harness/plugin_library.h"
#include "../harness/simulated_driver.h"
#include "../harness/test_files.h"
#include "support/nmea_sentence.h"

#include "../platform/platform.h"
#include "../provider/conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

const char* const kDriverEntries[] = {"GPSOpenDevice", "GPSCloseDevice", "GPSGetPosition",
                                      "GPSGetDeviceState"};

int64_t elapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

class GpsDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ok()) << "cannot load " << sim.path();
        resolve(open, "GPSOpenDevice");
        resolve(close, "GPSCloseDevice");
        resolve(getPosition, "GPSGetPosition");
        resolve(getDeviceState, "GPSGetDeviceState");
        sim.reset();
        newLocation = platformEventCreate();
        stateChange = platformEventCreate();
        ASSERT_NE(nullptr, newLocation);
        ASSERT_NE(nullptr, stateChange);
    }
    void TearDown() override {
        SimulatedDriver::setReplayLog("");
        SimulatedDriver::setReplayPace("");
        if (device != nullptr)
            close(device);
        platformEventClose(newLocation);
        platformEventClose(stateChange);
    }

    template <typename F> void resolve(F& f, const char* name) {
        f = reinterpret_cast<F>(sim.symbol(name));
        ASSERT_NE(nullptr, reinterpret_cast<void*>(f)) << name;
    }

    bool signalled(PlatformHandle event, uint32_t timeoutMs) {
        return platformWaitAny(&event, 1, timeoutMs) == 0;
    }
    void openDevice() {
        device = open(newLocation, stateChange, nullptr, 0);
        ASSERT_NE(nullptr, device);
    }
    void closeDevice() {
        EXPECT_EQ(0u, close(device));
        device = nullptr;
    }
    GPS_POSITION fetch() {
        GPS_POSITION p = blankReading(0, 0);
        EXPECT_EQ(0u, getPosition(device, &p, 50000, 0));
        return p;
    }
    // Fetches as a host paced replay expects: the reading, then the receipt
    // of its position.
    GPS_POSITION fetchAndAcknowledge() {
        GPS_POSITION p = fetch();
        if (p.dwValidFields & POSITION_RECORD_FIELDS)
            sim.acknowledge();
        return p;
    }
    // Every epoch of a host paced replay of LOG.
    std::vector<GPS_POSITION> replayWhole(const std::string& log) {
        SimulatedDriver::setReplayLog(log);
        SimulatedDriver::setReplayPace("host");
        openDevice();
        std::vector<GPS_POSITION> readings;
        while (sim.replayFinished() == 0) {
            if (!signalled(newLocation, 20000)) {
                ADD_FAILURE() << "no epoch after " << readings.size();
                break;
            }
            readings.push_back(fetchAndAcknowledge());
        }
        return readings;
    }

    SimulatedDriver sim;
    GPSOpenDeviceFn open = nullptr;
    GPSCloseDeviceFn close = nullptr;
    GPSGetPositionFn getPosition = nullptr;
    GPSGetDeviceStateFn getDeviceState = nullptr;
    PlatformHandle newLocation = nullptr, stateChange = nullptr;
    GpsHandle device = nullptr;
};

TEST(GpsDriverLibrary, EachVariantLacksExactlyItsEntryAndUnloadsCompletely) {
    std::vector<std::string> folders = {"driver"};
    for (const char* entry : kDriverEntries)
        folders.push_back(std::string("driver-without-") + entry);
    for (const std::string& folder : folders) {
        SCOPED_TRACE(folder);
        {
            PluginLibrary library(driverLibraryPath(folder));
            ASSERT_TRUE(library.loaded());
            for (const char* entry : kDriverEntries)
                EXPECT_EQ(folder == std::string("driver-without-") + entry,
                          library.symbol(entry) == nullptr)
                    << entry;
            for (const char* entry : kDriverControlEntries)
                EXPECT_NE(nullptr, library.symbol(entry)) << entry;
        }
        // Tests load one variant after another and the provider then finds
        // it by its bare name: an earlier variant must not linger.
        EXPECT_FALSE(SimulatedDriver::isLoaded());
    }
}

TEST_F(GpsDriver, CountsOpensClosesEventsAndCallsAfterClose) {
    GpsHandle first = open(newLocation, stateChange, nullptr, 0);
    ASSERT_NE(nullptr, first);
    SimGpsCounters c = sim.counters();
    EXPECT_EQ(1, c.opens);
    EXPECT_EQ(1, c.openDevices);
    EXPECT_EQ(2, c.eventsHeld);
    EXPECT_EQ(1, c.lastOpenNameWasNull);
    EXPECT_EQ(0u, c.lastOpenFlags);

    const WideChar name[] = {'G', 'P', 'D', '1', ':', 0};
    GpsHandle second = open(nullptr, stateChange, name, 7);
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    c = sim.counters();
    EXPECT_EQ(2, c.openDevices);
    EXPECT_EQ(3, c.eventsHeld);
    EXPECT_EQ(0, c.lastOpenNameWasNull);
    EXPECT_EQ(7u, c.lastOpenFlags);

    EXPECT_EQ(0u, close(first));
    c = sim.counters();
    EXPECT_EQ(1, c.closes);
    EXPECT_EQ(1, c.openDevices);
    EXPECT_EQ(1, c.eventsHeld);
    EXPECT_EQ(0, c.callsAfterClose);

    // The stale handle is refused, also after a new device has opened.
    GpsHandle third = open(newLocation, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, third);
    EXPECT_NE(first, third);
    EXPECT_NE(0u, close(first));
    GPS_POSITION p = blankReading(0, 0);
    EXPECT_NE(0u, getPosition(first, &p, 50000, 0));
    c = sim.counters();
    EXPECT_EQ(2, c.callsAfterClose);
    EXPECT_EQ(1, c.closes);
    EXPECT_EQ(2, c.eventsHeld);

    EXPECT_EQ(0u, close(second));
    EXPECT_EQ(0u, close(third));
    c = sim.counters();
    EXPECT_EQ(3, c.opens);
    EXPECT_EQ(3, c.closes);
    EXPECT_EQ(0, c.openDevices);
    EXPECT_EQ(0, c.eventsHeld);

    // Reset clears the history; what is open stays counted.
    openDevice();
    sim.reset();
    c = sim.counters();
    EXPECT_EQ(0, c.opens);
    EXPECT_EQ(0, c.callsAfterClose);
    EXPECT_EQ(1, c.openDevices);
    EXPECT_EQ(2, c.eventsHeld);
}

TEST_F(GpsDriver, PushedReadingSignalsNewLocationAndIsFetchedWithTheCallersHeader) {
    openDevice();
    GPS_POSITION r = blankReading(0, 0);
    r.dwVersion = 99; // the driver's own header is never handed out
    r.dwSize = 1;
    r.dwValidFields = GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE;
    r.dblLatitude = 52.5;
    r.dblLongitude = -1.25;
    r.rgdwSatellitesInViewSignalToNoiseRatio[11] = 44; // the structure's last bytes

    sim.push(r, false);
    EXPECT_FALSE(signalled(newLocation, 50));
    sim.push(r);
    EXPECT_TRUE(signalled(newLocation, 5000));
    EXPECT_FALSE(signalled(stateChange, 0));

    GPS_POSITION got = blankReading(0, 0);
    EXPECT_EQ(0u, getPosition(device, &got, 50000, 0));
    EXPECT_EQ(1u, got.dwVersion);
    EXPECT_EQ(344u, got.dwSize);
    EXPECT_EQ(r.dwValidFields, got.dwValidFields);
    EXPECT_EQ(52.5, got.dblLatitude);
    EXPECT_EQ(-1.25, got.dblLongitude);
    EXPECT_EQ(44u, got.rgdwSatellitesInViewSignalToNoiseRatio[11]);

    SimGpsCounters c = sim.counters();
    EXPECT_EQ(1, c.fetches);
    EXPECT_EQ(50000u, c.lastMaximumAge);
    EXPECT_EQ(0u, c.lastFetchFlags);
    EXPECT_EQ(1u, c.lastPositionVersion);
    EXPECT_EQ(344u, c.lastPositionSize);

    // A caller with a smaller structure gets no more than its size.
    unsigned char buffer[400];
    for (uint32_t size : {0u, 6u, 100u, 344u, 400u}) {
        SCOPED_TRACE(size);
        std::memset(buffer, 0xAB, sizeof buffer);
        GPS_POSITION header = blankReading(0, 0);
        header.dwSize = size;
        std::memcpy(buffer, &header, 8);
        EXPECT_EQ(0u, getPosition(device, reinterpret_cast<GPS_POSITION*>(buffer), 50000, 0));
        EXPECT_EQ(0, std::memcmp(buffer, &header, 8));
        const size_t copied = std::max<size_t>(8, std::min<size_t>(size, 344));
        EXPECT_EQ(0, std::memcmp(buffer + 8, reinterpret_cast<const char*>(&r) + 8, copied - 8));
        for (size_t i = copied; i < sizeof buffer; ++i)
            ASSERT_EQ(0xAB, buffer[i]) << "byte " << i;
        EXPECT_EQ(size, sim.counters().lastPositionSize);
    }
}

TEST_F(GpsDriver, DeviceStateSignalAndQuery) {
    openDevice();
    sim.signalDeviceState();
    EXPECT_TRUE(signalled(stateChange, 5000));
    EXPECT_FALSE(signalled(newLocation, 0));

    GPS_DEVICE d;
    std::memset(&d, 0, sizeof d);
    d.dwVersion = 1;
    d.dwSize = GPS_DEVICE_SIZE;
    EXPECT_EQ(0u, getDeviceState(&d));
    EXPECT_EQ(1u, d.dwVersion);
    EXPECT_EQ(216u, d.dwSize);
    EXPECT_EQ(1u, d.dwServiceState);
    EXPECT_EQ(1u, d.dwDeviceState);
    EXPECT_NE(0, d.szGPSFriendlyName[0]);
    SimGpsCounters c = sim.counters();
    EXPECT_EQ(1, c.stateQueries);
    EXPECT_EQ(1u, c.lastDeviceVersion);
    EXPECT_EQ(216u, c.lastDeviceSize);
}

TEST_F(GpsDriver, FailureSwitchesFailOnlyTheirCall) {
    sim.setFailures(SIMGPS_FAIL_OPEN);
    EXPECT_EQ(nullptr, open(newLocation, stateChange, nullptr, 0));
    SimGpsCounters c = sim.counters();
    EXPECT_EQ(0, c.opens);
    EXPECT_EQ(0, c.openDevices);
    EXPECT_EQ(0, c.eventsHeld);

    sim.setFailures(SIMGPS_FAIL_STATE | SIMGPS_FAIL_FETCH);
    openDevice();
    GPS_DEVICE d;
    std::memset(&d, 0, sizeof d);
    d.dwVersion = 1;
    d.dwSize = GPS_DEVICE_SIZE;
    EXPECT_NE(0u, getDeviceState(&d));
    EXPECT_EQ(0u, d.dwServiceState);

    GPS_POSITION r = blankReading(0, 0);
    r.dwValidFields = GPS_VALID_SPEED;
    r.flSpeed = 10;
    sim.push(r);
    EXPECT_TRUE(signalled(newLocation, 5000)); // signals still come
    GPS_POSITION got = blankReading(0, 0);
    EXPECT_NE(0u, getPosition(device, &got, 50000, 0));
    EXPECT_EQ(0u, got.dwValidFields);

    sim.setFailures(0);
    EXPECT_EQ(0u, getDeviceState(&d));
    EXPECT_EQ(GPS_VALID_SPEED, fetch().dwValidFields);
    sim.reset();
    EXPECT_EQ(0u, fetch().dwValidFields); // reset also forgets the reading
}

// The provider's reader thread fetches while the test thread pushes: every
// fetched reading must be one that was pushed, never a mix of two.
struct Pusher {
    SimulatedDriver* driver;
    int count;
};

PlatformThreadResult PLATFORM_THREAD_CALL pushReadings(void* parameter) {
    Pusher* p = static_cast<Pusher*>(parameter);
    GPS_POSITION r = blankReading(0, 0);
    for (int i = 1; i <= p->count; ++i) {
        r.dblLatitude = i;
        r.dblLongitude = -i;
        for (uint32_t& prn : r.rgdwSatellitesInViewPRNs)
            prn = static_cast<uint32_t>(i);
        p->driver->push(r);
    }
    return 0;
}

TEST_F(GpsDriver, FetchesWhilePushingNeverSeeAHalfWrittenReading) {
    openDevice();
    Pusher pusher = {&sim, 3000};
    uint32_t id;
    PlatformHandle thread = platformThreadStart(pushReadings, &pusher, &id);
    ASSERT_NE(nullptr, thread);
    double last = 0;
    while (last < pusher.count) {
        GPS_POSITION p = fetch();
        ASSERT_EQ(p.dblLatitude, -p.dblLongitude);
        for (uint32_t prn : p.rgdwSatellitesInViewPRNs)
            ASSERT_EQ(static_cast<uint32_t>(p.dblLatitude), prn);
        ASSERT_GE(p.dblLatitude, last);
        last = p.dblLatitude;
    }
    platformThreadJoin(thread);
}

// ---- Replay ----

int64_t utcMs(const GPS_POSITION& p) {
    const GpsSystemTime& t = p.stUTCTime;
    const int y = t.wMonth <= 2 ? t.wYear - 1 : t.wYear;
    const int64_t days =
        365LL * y + y / 4 - y / 100 + y / 400 + (153 * ((t.wMonth + 9) % 12) + 2) / 5 + t.wDay;
    return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000LL + t.wSecond * 1000LL +
           t.wMilliseconds;
}

TEST_F(GpsDriver, HostPacedReplayDeliversEachEpochOfEveryLogOnce) {
    std::vector<std::string> logs;
    for (const auto& entry : std::filesystem::directory_iterator(testDataFolder("nmea")))
        if (entry.path().extension() == ".nmea")
            logs.push_back(entry.path().filename().string());
    std::sort(logs.begin(), logs.end());
    ASSERT_FALSE(logs.empty()) << "no logs in " << testDataFolder("nmea");
    const std::string out = freshFolder("replay");

    for (const std::string& log : logs) {
        SCOPED_TRACE(log);
        const std::vector<GPS_POSITION> readings = replayWhole(testDataFolder("nmea") + log);
        EXPECT_FALSE(signalled(newLocation, 100)) << "a signal after the last epoch";
        SimGpsReplayStatus s = sim.replayStatus();
        closeDevice();
        EXPECT_EQ(0, s.running);
        EXPECT_EQ(1, s.finished);
        EXPECT_EQ(static_cast<int32_t>(readings.size()), s.epochsDelivered);
        EXPECT_EQ(s.epochsDelivered, s.epochsFetched);
        EXPECT_EQ(std::count_if(readings.begin(), readings.end(),
                                [](const GPS_POSITION& p) {
                                    return p.dwValidFields & POSITION_RECORD_FIELDS;
                                }),
                  s.positionsDelivered);
        EXPECT_GT(s.sentencesUsed, static_cast<int32_t>(readings.size()));
        EXPECT_EQ(0, s.sentencesRejected);

        std::FILE* csv = std::fopen((out + log + ".csv").c_str(), "w");
        ASSERT_NE(nullptr, csv);
        std::fprintf(csv, "valid,time,latitude,longitude,fix_type,fix_quality,altitude,"
                          "ellipsoid_altitude,satellites_used,satellites_in_view\n");
        int64_t previous = -1;
        for (const GPS_POSITION& p : readings) {
            const GpsSystemTime& t = p.stUTCTime;
            std::fprintf(
                csv, "%u,%04u-%02u-%02uT%02u:%02u:%02u.%03u,%.10f,%.10f,%u,%u,%.3f,%.3f,%u,%u\n",
                p.dwValidFields, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                t.wMilliseconds, p.dblLatitude, p.dblLongitude, p.FixType, p.FixQuality,
                p.flAltitudeWRTSeaLevel, p.flAltitudeWRTEllipsoid, p.dwSatelliteCount,
                p.dwSatellitesInView);
            // One reading per epoch, in the log's order.
            EXPECT_TRUE(p.dwValidFields & GPS_VALID_UTC_TIME);
            EXPECT_GT(utcMs(p), previous);
            previous = utcMs(p);
            // A fix brings both coordinates and a fix type; no fix, neither.
            const uint32_t position = GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE;
            const bool fix = (p.dwValidFields & position) == position;
            EXPECT_TRUE(fix || (p.dwValidFields & position) == 0);
            EXPECT_EQ(fix, p.FixType != GPS_FIX_UNKNOWN);
            EXPECT_LE(p.dwSatellitesInView, 12u);
            if (p.dwValidFields & GPS_VALID_SATELLITES_USED_PRNS) {
                EXPECT_LE(p.dwSatelliteCount, 12u);
            }
        }
        std::fclose(csv);
    }
}

// A log of four epochs: 1 s, then 1 s, then an hour apart.
const char kPacedLog[] = "$GPRMC,100000,A,5000.000,N,00500.000,E,5.0,90.0,200818,,,A*4E\r\n"
                         "$GPRMC,100001,A,5000.010,N,00500.000,E,5.0,90.0,200818,,,A*4E\r\n"
                         "$GPRMC,100002,A,5000.020,N,00500.000,E,5.0,90.0,200818,,,A*4E\r\n"
                         "$GPRMC,110002,A,5000.030,N,00500.000,E,5.0,90.0,200818,,,A*4E\r\n";

TEST_F(GpsDriver, PacedReplayFollowsTheLogsClockWithoutWaitingForFetches) {
    const std::string log = freshFolder("replay-paced") + "paced.nmea";
    writeFile(log, kPacedLog);
    SimulatedDriver::setReplayLog(log);
    SimulatedDriver::setReplayPace("20"); // 50 ms a second; the hour is cut to 10 s
    const auto start = std::chrono::steady_clock::now();
    openDevice();
    int signals = 0;
    while (signals < 4 && signalled(newLocation, 20000))
        ++signals;
    const int64_t elapsed = elapsedMs(start);
    EXPECT_EQ(4, signals);
    EXPECT_GE(elapsed, 2 * 50 + 500 - 20);
    EXPECT_LT(elapsed, 20000);
    EXPECT_EQ(4, sim.replayStatus().epochsDelivered);
    EXPECT_EQ(0, sim.replayFinished()); // the last epoch is not fetched yet
    GPS_POSITION last = fetch();
    EXPECT_EQ(11, last.stUTCTime.wHour);
    EXPECT_NEAR(50.0 + 0.03 / 60, last.dblLatitude, 1e-12);
    EXPECT_EQ(1, sim.replayFinished());
    EXPECT_EQ(1, sim.replayStatus().epochsFetched); // the first three went unfetched
}

TEST_F(GpsDriver, ReplaySkipsDamagedLinesAndRestartsAfterAClose) {
    const std::string log = freshFolder("replay-damaged") + "damaged.nmea";
    const std::string bad = // a wrong checksum
        "$GPRMC,100001,A,5100.000,N,00500.000,E,5.0,90.0,200818,,,A*00\n";
    const std::string overlong = "$GPGGA," + std::string(300, '9') + "\n";
    writeFile(log, "# a comment\n" + std::string(kPacedLog, 63) + bad +
                       std::string(kPacedLog + 63, 63) + overlong +
                       std::string(kPacedLog + 126, 61)); // no line ending at the end
    SimulatedDriver::setReplayLog(log);
    SimulatedDriver::setReplayPace("Host");
    openDevice();
    std::vector<double> latitudes;
    while (sim.replayFinished() == 0) {
        ASSERT_TRUE(signalled(newLocation, 20000));
        latitudes.push_back(fetchAndAcknowledge().dblLatitude);
    }
    ASSERT_EQ(3u, latitudes.size());
    EXPECT_NEAR(50.0 + 0.01 / 60, latitudes[1], 1e-12);
    SimGpsReplayStatus s = sim.replayStatus();
    EXPECT_EQ(3, s.sentencesUsed);
    EXPECT_EQ(2, s.sentencesRejected); // the bad checksum and the overlong line

    // A close in the middle stops the replay; the next open starts it afresh.
    closeDevice();
    openDevice();
    ASSERT_TRUE(signalled(newLocation, 20000));
    EXPECT_EQ(50.0, fetch().dblLatitude);
    closeDevice();
    EXPECT_EQ(0, sim.replayStatus().running);
    EXPECT_EQ(0, sim.replayFinished());
    // The fetch let the next epoch through while the device was open; once
    // closed, the device's events stay quiet.
    signalled(newLocation, 0);
    EXPECT_FALSE(signalled(newLocation, 200));
}

TEST_F(GpsDriver, ReplayReadsEveryLineEndAndSentencesBeyondTheStandardLength) {
    // A fifth epoch whose GGA a station id stretches to 128 characters.
    std::string gga = "GPGGA,110003,5000.040,N,00500.000,E,1,08,1.0,10.5,M,40,M,,";
    gga += std::string(128 - 4 - gga.size(), '7');
    const std::string lines[] = {std::string(kPacedLog, 61), std::string(kPacedLog + 63, 61),
                                 std::string(kPacedLog + 126, 61), std::string(kPacedLog + 189, 61),
                                 nmeaSentence(gga)};
    ASSERT_EQ(128u, lines[4].size());
    for (const char* end : {"\n", "\r\n", "\r", "\r\r\n"}) {
        SCOPED_TRACE(::testing::Message() << "line end of " << std::strlen(end) << " bytes");
        std::string text;
        for (const std::string& line : lines)
            text += line + end;
        const std::string log = freshFolder("replay-line-ends") + "ends.nmea";
        writeFile(log, text);
        const std::vector<GPS_POSITION> r = replayWhole(log);
        closeDevice();
        ASSERT_EQ(5u, r.size());
        EXPECT_NEAR(50.0 + 0.02 / 60, r[2].dblLatitude, 1e-12);
        EXPECT_NEAR(50.0 + 0.04 / 60, r[4].dblLatitude, 1e-12);
        EXPECT_EQ(50.5f, r[4].flAltitudeWRTEllipsoid);
        EXPECT_EQ(0, sim.replayStatus().sentencesRejected);
    }
}

TEST_F(GpsDriver, ReplayRefusesALogThatIsNoFile) {
    // Reads from these could block the replay for good.
    const std::string folder = freshFolder("replay-devices");
#if defined(_WIN32)
    const std::string names[] = {folder + "aux.nmea", folder + "NUL.nmea", folder + "com1.log",
                                 "CON"};
#else
    ASSERT_EQ(0, mkfifo((folder + "fifo.nmea").c_str(), 0600));
    const std::string names[] = {folder + "fifo.nmea", "/dev/null", folder};
#endif
    for (const std::string& name : names) {
        SimulatedDriver::setReplayLog(name);
        EXPECT_EQ(nullptr, open(newLocation, stateChange, nullptr, 0)) << name;
    }
    EXPECT_EQ(0, sim.counters().opens);
    // A name that merely starts like a device is a file.
    const std::string log = folder + "auxiliary.nmea";
    writeFile(log, kPacedLog);
    EXPECT_EQ(4u, replayWhole(log).size());
}

TEST_F(GpsDriver, ReplayThatCannotStartFailsTheOpen) {
    SimulatedDriver::setReplayLog(programFolder() + "no-such-log.nmea");
    EXPECT_EQ(nullptr, open(newLocation, stateChange, nullptr, 0));

    const std::string log = freshFolder("replay-pace") + "one.nmea";
    writeFile(log, kPacedLog);
    SimulatedDriver::setReplayLog(log);
    for (const char* pace : {"fast", "0", "-2", "1x", "lockstep"}) {
        SimulatedDriver::setReplayPace(pace);
        EXPECT_EQ(nullptr, open(newLocation, stateChange, nullptr, 0)) << pace;
    }
    SimGpsCounters c = sim.counters();
    EXPECT_EQ(0, c.opens);
    EXPECT_EQ(0, c.openDevices);
    EXPECT_EQ(0, c.eventsHeld);

    // Without a log the driver gives only what is pushed.
    SimulatedDriver::setReplayLog("");
    SimulatedDriver::setReplayPace("");
    openDevice();
    EXPECT_FALSE(signalled(newLocation, 200));
    EXPECT_EQ(0, sim.replayStatus().running);
    EXPECT_EQ(0, sim.replayFinished());
}

} // namespace
