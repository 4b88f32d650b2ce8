// The provider's conversion and hand-over, driven by filling the reading
// buffer directly, as the reader thread does after a fetch. The provider's
// conversion source is compiled into this program for that.
#include "../harness/simulated_driver.h"
#include "../provider/conversion.h"
#include "../provider/handover.h"
#include "support/test_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <time.h>
#endif

namespace {

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

std::string describe(const GpsRecord& r) {
    std::ostringstream s;
    s << "lon " << r.longitude << " lat " << r.latitude << " alt " << r.altitude << " speed "
      << r.speed << " heading " << r.heading << " dop " << r.pdop << "/" << r.hdop << "/" << r.vdop
      << " " << r.year << "-" << int(r.month) << "-" << int(r.day) << " " << int(r.hour) << ":"
      << int(r.minute) << ":" << int(r.second) << "." << r.milliseconds << " fix "
      << int(r.fixStatus);
    return s.str();
}

// Byte-for-byte equality, with both records in the message.
::testing::AssertionResult sameRecord(const GpsRecord& expected, const GpsRecord& actual) {
    if (std::memcmp(&expected, &actual, sizeof expected) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "\nexpected " << describe(expected) << "\n  actual " << describe(actual);
}

struct Satellite {
    uint32_t prn, elevation, azimuth, snr;
};

// A reading with the given valid fields and nothing else set.
GPS_POSITION reading(uint32_t valid, uint32_t fixType = GPS_FIX_3D) {
    return blankReading(valid, fixType);
}

void setInView(GPS_POSITION& p, const std::vector<Satellite>& view) {
    p.dwSatellitesInView = static_cast<uint32_t>(view.size());
    for (size_t i = 0; i < view.size() && i < GPS_MAX_SATELLITES; ++i) {
        p.rgdwSatellitesInViewPRNs[i] = view[i].prn;
        p.rgdwSatellitesInViewElevation[i] = view[i].elevation;
        p.rgdwSatellitesInViewAzimuth[i] = view[i].azimuth;
        p.rgdwSatellitesInViewSignalToNoiseRatio[i] = view[i].snr;
    }
}

void setUsed(GPS_POSITION& p, const std::vector<uint32_t>& used) {
    p.dwSatelliteCount = static_cast<uint32_t>(used.size());
    for (size_t i = 0; i < used.size() && i < GPS_MAX_SATELLITES; ++i)
        p.rgdwSatellitesUsedPRNs[i] = used[i];
}

const uint32_t kAllFields = 0x3FFFF;
const uint32_t kUsedList = GPS_VALID_SATELLITE_COUNT | GPS_VALID_SATELLITES_USED_PRNS;
const uint32_t kInView = GPS_VALID_SATELLITES_IN_VIEW | GPS_VALID_SATELLITES_IN_VIEW_PRNS;

// Two readings whose every field differs, and the records they give.
GPS_POSITION readingA(uint32_t valid) {
    GPS_POSITION p = reading(valid, GPS_FIX_3D);
    p.stUTCTime = {2001, 2, 6, 3, 4, 5, 6, 7};
    p.dblLatitude = 10.25;
    p.dblLongitude = 20.5;
    p.flSpeed = 1.0f;
    p.flHeading = 30.0f;
    p.dblMagneticVariation = 1.0;
    p.flAltitudeWRTSeaLevel = 99.0f;
    p.flAltitudeWRTEllipsoid = 40.0f;
    p.flPositionDilutionOfPrecision = 1.5f;
    p.flHorizontalDilutionOfPrecision = 2.5f;
    p.flVerticalDilutionOfPrecision = 3.5f;
    setUsed(p, {12, 17});
    setInView(p, {{5, 10, 100, 40}, {12, 20, 200, 41}, {17, 30, 300, 42}});
    return p;
}
GpsRecord recordA() {
    GpsRecord r;
    std::memset(&r, 0, sizeof r);
    r.longitude = 20.5f;
    r.latitude = 10.25f;
    r.altitude = 40.0f;
    r.speed = 1.852f;
    r.heading = 30.0f;
    r.pdop = 1.5f;
    r.hdop = 2.5f;
    r.vdop = 3.5f;
    r.year = 2001;
    r.fixStatus = FIX_3D;
    r.day = 3;
    r.month = 2;
    r.hour = 4;
    r.minute = 5;
    r.second = 6;
    r.milliseconds = 7;
    return r;
}

GPS_POSITION readingB(uint32_t valid) {
    GPS_POSITION p = reading(valid, GPS_FIX_2D);
    p.stUTCTime = {2010, 5, 4, 20, 14, 3, 7, 250};
    p.dblLatitude = 51.25;
    p.dblLongitude = -0.5;
    p.flSpeed = 10.0f;
    p.flHeading = 123.5f;
    p.dblMagneticVariation = -2.0;
    p.flAltitudeWRTSeaLevel = 7.0f;
    p.flAltitudeWRTEllipsoid = 12.0f;
    p.flPositionDilutionOfPrecision = 4.5f;
    p.flHorizontalDilutionOfPrecision = 5.5f;
    p.flVerticalDilutionOfPrecision = 6.5f;
    setUsed(p, {9});
    setInView(p, {{9, 45, 90, 30}, {3, 15, 270, 20}});
    return p;
}

void convert(const GPS_POSITION& p) {
    positionBuffer = p;
    convertPosition();
}

// What slot 15 handed out: its result, count and the records it wrote.
struct SatelliteFetch {
    int32_t result = 0;
    int32_t count = -1;
    std::vector<SatelliteRecord> table; // SATELLITE_TABLE_SIZE, unwritten ones 0xEE
};
const uint8_t kUnwritten = 0xEE;

SatelliteFetch fetchSatellites() {
    SatelliteFetch f;
    f.table.resize(SATELLITE_TABLE_SIZE);
    std::memset(f.table.data(), kUnwritten, f.table.size() * sizeof(SatelliteRecord));
    f.result = PluginGetSatellites(f.table.data(), &f.count);
    return f;
}

bool unwritten(const SatelliteRecord& s) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&s);
    for (size_t i = 0; i < sizeof s; ++i)
        if (b[i] != kUnwritten)
            return false;
    return true;
}

// The used bytes of the first COUNT records.
std::vector<int> usedMarks(const SatelliteFetch& f) {
    std::vector<int> marks;
    for (int32_t i = 0; i < f.count; ++i)
        marks.push_back(f.table[i].used);
    return marks;
}
std::vector<int> prns(const SatelliteFetch& f) {
    std::vector<int> out;
    for (int32_t i = 0; i < f.count; ++i)
        out.push_back(f.table[i].prn);
    return out;
}

class Conversion : public ::testing::Test {
  protected:
    // The conversion's state lives as long as this program: start every
    // test from reading A with every field valid, fetched and forgotten.
    void SetUp() override {
        convert(readingA(kAllFields));
        drain();
    }
    static void drain() {
        GpsRecord r;
        PluginGetPosition(&r);
        fetchSatellites();
    }
    static int32_t fetch(GpsRecord* r) {
        std::memset(r, 0xAB, sizeof *r);
        return PluginGetPosition(r);
    }
};

TEST_F(Conversion, TakesExactlyTheFieldsMarkedValid) {
    // Bit, and what reading B changes in the record when only it is set.
    struct Case {
        uint32_t bit;
        void (*apply)(GpsRecord&);
    };
    const Case cases[] = {
        {GPS_VALID_UTC_TIME,
         [](GpsRecord& r) {
             r.year = 2010, r.month = 5, r.day = 20, r.hour = 14, r.minute = 3, r.second = 7;
             r.milliseconds = 250;
         }},
        {GPS_VALID_LATITUDE, [](GpsRecord& r) { r.latitude = 51.25f; }},
        {GPS_VALID_LONGITUDE, [](GpsRecord& r) { r.longitude = -0.5f; }},
        {GPS_VALID_SPEED, [](GpsRecord& r) { r.speed = 10.0f * 1.852f; }},
        {GPS_VALID_HEADING, [](GpsRecord& r) { r.heading = 123.5f; }},
        {GPS_VALID_MAGNETIC_VARIATION, [](GpsRecord&) {}},
        {GPS_VALID_ALTITUDE_WRT_SEA_LEVEL, [](GpsRecord& r) { r.altitude = 7.0f; }},
        {GPS_VALID_ALTITUDE_WRT_ELLIPSOID, [](GpsRecord& r) { r.altitude = 12.0f; }},
        // Both: the ellipsoid's, as the record's altitude is above it.
        {GPS_VALID_ALTITUDE_WRT_SEA_LEVEL | GPS_VALID_ALTITUDE_WRT_ELLIPSOID,
         [](GpsRecord& r) { r.altitude = 12.0f; }},
        {GPS_VALID_POSITION_DILUTION_OF_PRECISION, [](GpsRecord& r) { r.pdop = 4.5f; }},
        {GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION, [](GpsRecord& r) { r.hdop = 5.5f; }},
        {GPS_VALID_VERTICAL_DILUTION_OF_PRECISION, [](GpsRecord& r) { r.vdop = 6.5f; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "valid bit 0x" << std::hex << c.bit);
        convert(readingA(kAllFields));
        drain();
        convert(readingB(c.bit));
        GpsRecord expected = recordA();
        c.apply(expected);
        expected.fixStatus = FIX_2D; // follows reading B's fix type
        GpsRecord got;
        ASSERT_EQ(1, fetch(&got));
        EXPECT_TRUE(sameRecord(expected, got));
    }

    // Every field at once, and the fields of a reading that marks none of
    // them stay as they were.
    convert(readingB(0x7FF));
    GpsRecord got;
    ASSERT_EQ(1, fetch(&got));
    const GpsRecord all = got;
    convert(readingA(GPS_VALID_SATELLITE_COUNT | GPS_VALID_MAGNETIC_VARIATION));
    ASSERT_EQ(1, fetch(&got));
    GpsRecord expected = all;
    expected.fixStatus = FIX_3D;
    EXPECT_TRUE(sameRecord(expected, got));
}

TEST_F(Conversion, SpeedIsKnotsTimesTheSinglePrecisionFactor) {
    GPS_POSITION p = reading(GPS_VALID_SPEED);
    p.flSpeed = 10.0f;
    convert(p);
    GpsRecord r;
    ASSERT_EQ(1, fetch(&r));
    EXPECT_EQ(0x419428F6u, bitsOf(r.speed)) << r.speed;
    // 3 knots tells single-precision arithmetic from a double-precision
    // factor: 3 * 1.852 rounds to 0x40B1CAC1, the single product to ...C0.
    p.flSpeed = 3.0f;
    convert(p);
    ASSERT_EQ(1, fetch(&r));
    EXPECT_EQ(0x40B1CAC0u, bitsOf(r.speed)) << r.speed;
}

TEST_F(Conversion, DateAndTimeLandInTheirBytes) {
    convert(readingB(GPS_VALID_UTC_TIME));
    GpsRecord r;
    ASSERT_EQ(1, fetch(&r));
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&r);
    const uint8_t expected[12] = {0xDA, 0x07, 0, 0, FIX_2D, 20, 5, 14, 3, 7, 250, 0};
    EXPECT_EQ(0, std::memcmp(b + 32, expected, sizeof expected)) << describe(r);

    // Each of the byte fields keeps the low byte of the driver's word; the
    // year and milliseconds keep all 16 bits; the day of the week is unused.
    GPS_POSITION p = reading(GPS_VALID_UTC_TIME);
    p.stUTCTime = {0xFFFF, 0x0105, 0x1234, 0x0214, 0x0317, 0x043B, 0x0501, 0xFFFE};
    convert(p);
    ASSERT_EQ(1, fetch(&r));
    EXPECT_EQ(65535, r.year);
    EXPECT_EQ(5, r.month);
    EXPECT_EQ(0x14, r.day);
    EXPECT_EQ(0x17, r.hour);
    EXPECT_EQ(0x3B, r.minute);
    EXPECT_EQ(1, r.second);
    EXPECT_EQ(0xFFFE, r.milliseconds);
}

TEST_F(Conversion, MapsFixTypesAndPublishesAChangeOnlyWithAField) {
    const struct {
        uint32_t type;
        int status;
    } cases[] = {{0, FIX_NONE}, {1, FIX_2D},   {2, FIX_3D},
                 {3, FIX_NONE}, {5, FIX_NONE}, {0xFFFFFFFFu, FIX_NONE}};
    GpsRecord r;
    for (const auto& c : cases) {
        convert(reading(GPS_VALID_HEADING, c.type));
        ASSERT_EQ(1, fetch(&r));
        EXPECT_EQ(c.status, r.fixStatus) << "fix type " << c.type;
    }

    // From three-dimensional to two: published with the reading's heading.
    convert(reading(GPS_VALID_HEADING, GPS_FIX_3D));
    convert(reading(GPS_VALID_HEADING, GPS_FIX_2D));
    ASSERT_EQ(1, fetch(&r));
    EXPECT_EQ(FIX_2D, r.fixStatus);

    // A change of fix type alone publishes nothing, nor does one that
    // comes with satellite data only.
    convert(reading(0, GPS_FIX_3D));
    EXPECT_EQ(0, fetch(&r));
    convert(reading(GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH, GPS_FIX_UNKNOWN));
    EXPECT_EQ(0, fetch(&r));
    // The next position carries the fix type of its own reading.
    convert(reading(GPS_VALID_ALTITUDE_WRT_SEA_LEVEL, GPS_FIX_3D));
    ASSERT_EQ(1, fetch(&r));
    EXPECT_EQ(FIX_3D, r.fixStatus);
    GpsRecord expected = recordA();
    expected.heading = 0.0f;  // from the readings above
    expected.altitude = 0.0f; // this reading's sea-level altitude
    EXPECT_TRUE(sameRecord(expected, r));
}

TEST_F(Conversion, PublishesEachKindOnlyForItsOwnFields) {
    for (int bit = 0; bit < 32; ++bit) {
        const uint32_t valid = 1u << bit;
        SCOPED_TRACE(::testing::Message() << "valid 0x" << std::hex << valid);
        convert(readingB(valid));
        GpsRecord r;
        EXPECT_EQ((valid & 0x7FFu) != 0 ? 1 : 0, fetch(&r));
        EXPECT_EQ((valid & 0x3F800u) != 0 ? 1 : 0, fetchSatellites().result);
    }
    // A reading with no valid field at all publishes nothing.
    convert(readingB(0));
    GpsRecord r;
    EXPECT_EQ(0, fetch(&r));
    EXPECT_EQ(0, fetchSatellites().result);
}

TEST_F(Conversion, HandsOutOnlyTheLatestPublicationAndOnlyOnce) {
    convert(readingA(kAllFields));
    convert(readingB(kAllFields));

    GpsRecord r;
    ASSERT_EQ(1, fetch(&r));
    EXPECT_FLOAT_EQ(-0.5f, r.longitude);
    EXPECT_EQ(2010, r.year);
    // Nothing new: 0, and the caller's record is untouched.
    GpsRecord untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    EXPECT_EQ(0, fetch(&r));
    EXPECT_EQ(0, std::memcmp(&untouched, &r, sizeof r));

    SatelliteFetch s = fetchSatellites();
    ASSERT_EQ(1, s.result);
    ASSERT_EQ(2, s.count);
    EXPECT_EQ(9, s.table[0].prn);
    EXPECT_EQ(45u, s.table[0].elevation);
    EXPECT_EQ(1, s.table[0].used);
    EXPECT_EQ(3, s.table[1].prn);
    EXPECT_EQ(270, s.table[1].azimuth);
    EXPECT_EQ(20u, s.table[1].snr);
    EXPECT_EQ(0, s.table[1].used);
    EXPECT_TRUE(unwritten(s.table[2]));
    // The reserved bytes are zero.
    EXPECT_EQ(0, s.table[0].reserved[0] | s.table[0].reserved[1] | s.table[0].reserved[2]);

    s = fetchSatellites();
    EXPECT_EQ(0, s.result);
    EXPECT_EQ(-1, s.count);
    EXPECT_TRUE(unwritten(s.table[0]));
}

TEST_F(Conversion, MarksSatellitesUsedByTheSameReading) {
    GPS_POSITION p = reading(kUsedList | kInView);
    setUsed(p, {12, 17});
    setInView(p, {{5, 0, 0, 0}, {12, 0, 0, 0}, {17, 0, 0, 0}});
    convert(p);
    SatelliteFetch s = fetchSatellites();
    ASSERT_EQ(1, s.result);
    EXPECT_EQ((std::vector<int>{5, 12, 17}), prns(s));
    EXPECT_EQ((std::vector<int>{0, 1, 1}), usedMarks(s));

    // A new used list is in place before the marks are set.
    setUsed(p, {5});
    convert(p);
    s = fetchSatellites();
    EXPECT_EQ((std::vector<int>{1, 0, 0}), usedMarks(s));

    // No used satellites at all.
    setUsed(p, {});
    convert(p);
    EXPECT_EQ((std::vector<int>{0, 0, 0}), usedMarks(fetchSatellites()));
}

TEST_F(Conversion, KeepsTheUsedListUnlessBothItsBitsAreSet) {
    // SetUp left the used list {12, 17}. Each half of the pair alone keeps it.
    for (uint32_t half : {GPS_VALID_SATELLITE_COUNT, GPS_VALID_SATELLITES_USED_PRNS}) {
        GPS_POSITION p = reading(half | kInView);
        setUsed(p, {5});
        setInView(p, {{5, 0, 0, 0}, {12, 0, 0, 0}, {17, 0, 0, 0}});
        convert(p);
        SatelliteFetch s = fetchSatellites();
        ASSERT_EQ(1, s.result);
        EXPECT_EQ((std::vector<int>{0, 1, 1}), usedMarks(s)) << "valid 0x" << std::hex << half;
    }

    // The count bit alone still announces the set: the host receives the
    // unchanged table again.
    SatelliteFetch before = [] {
        GPS_POSITION p = readingA(kAllFields);
        convert(p);
        return fetchSatellites();
    }();
    GPS_POSITION p = readingB(GPS_VALID_SATELLITE_COUNT);
    convert(p);
    SatelliteFetch after = fetchSatellites();
    ASSERT_EQ(1, after.result);
    ASSERT_EQ(before.count, after.count);
    EXPECT_EQ(0, std::memcmp(before.table.data(), after.table.data(),
                             before.table.size() * sizeof(SatelliteRecord)));
}

TEST_F(Conversion, UpdatesTheKeptTableFieldByField) {
    // SetUp left prns 5, 12, 17 with elevations 10, 20, 30, azimuths
    // 100, 200, 300 and ratios 40, 41, 42. The reading names other
    // satellites and another count, which without the in-view bits count
    // for nothing.
    GPS_POSITION p = reading(GPS_VALID_SATELLITES_IN_VIEW_ELEVATION);
    setInView(p, {{7, 11, 0x12345, 50}, {8, 21, 0x10000, 51}, {9, 31, 359, 52}, {10, 41, 1, 53}});

    convert(p);
    SatelliteFetch s = fetchSatellites();
    ASSERT_EQ(1, s.result);
    ASSERT_EQ(3, s.count);
    EXPECT_EQ((std::vector<int>{5, 12, 17}), prns(s));
    EXPECT_EQ((std::vector<int>{0, 1, 1}), usedMarks(s));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(p.rgdwSatellitesInViewElevation[i], s.table[i].elevation) << i;
        EXPECT_EQ(100 * (i + 1), s.table[i].azimuth) << i;
        EXPECT_EQ(40u + i, s.table[i].snr) << i;
    }
    EXPECT_TRUE(unwritten(s.table[3]));

    // Azimuths keep their low 16 bits.
    p.dwValidFields = GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH;
    convert(p);
    s = fetchSatellites();
    ASSERT_EQ(3, s.count);
    EXPECT_EQ(0x2345, s.table[0].azimuth);
    EXPECT_EQ(0, s.table[1].azimuth);
    EXPECT_EQ(359, s.table[2].azimuth);
    EXPECT_EQ(11u, s.table[0].elevation);
    EXPECT_EQ(40u, s.table[0].snr);

    p.dwValidFields = GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO;
    convert(p);
    s = fetchSatellites();
    ASSERT_EQ(3, s.count);
    EXPECT_EQ(50u, s.table[0].snr);
    EXPECT_EQ(52u, s.table[2].snr);
    EXPECT_EQ(0x2345, s.table[0].azimuth);

    // With the in-view bits the same reading replaces the table.
    p.dwValidFields = kInView | GPS_VALID_SATELLITES_IN_VIEW_ELEVATION;
    convert(p);
    s = fetchSatellites();
    ASSERT_EQ(4, s.count);
    EXPECT_EQ((std::vector<int>{7, 8, 9, 10}), prns(s));
    EXPECT_EQ(41u, s.table[3].elevation);
}

TEST_F(Conversion, PublishesAnEmptySet) {
    GPS_POSITION p = reading(kInView);
    setInView(p, {});
    convert(p);
    SatelliteFetch s = fetchSatellites();
    ASSERT_EQ(1, s.result);
    EXPECT_EQ(0, s.count);
    EXPECT_TRUE(unwritten(s.table[0]));

    // Updates of an empty table still announce it, and stay empty.
    p = readingA(GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO);
    convert(p);
    s = fetchSatellites();
    ASSERT_EQ(1, s.result);
    EXPECT_EQ(0, s.count);
    EXPECT_TRUE(unwritten(s.table[0]));
}

TEST_F(Conversion, SatelliteNumbersKeepTheirLowByte) {
    GPS_POSITION p = reading(kUsedList | kInView);
    setUsed(p, {300});
    setInView(p, {{300, 0, 0, 0}, {44, 0, 0, 0}, {45, 0, 0, 0}, {556, 0, 0, 0}});
    convert(p);
    SatelliteFetch s = fetchSatellites();
    EXPECT_EQ((std::vector<int>{44, 44, 45, 44}), prns(s));
    EXPECT_EQ((std::vector<int>{1, 1, 0, 1}), usedMarks(s));
}

TEST_F(Conversion, ClipsCountsToTheDriversArrays) {
    // Used satellites 101 to 112. Had a used count above 12 been taken, the
    // words after the used array (the in-view count, then the in-view
    // numbers) would join the used list: the in-view numbers include the
    // low byte of every in-view count tried, so a mark would show.
    std::vector<uint32_t> used;
    for (uint32_t i = 1; i <= 12; ++i)
        used.push_back(100 + i);
    const uint32_t viewPrns[12] = {13, 24, 25, 0, 255, 2, 3, 4, 5, 6, 7, 8};
    std::vector<Satellite> view;
    for (uint32_t i = 0; i < 12; ++i)
        view.push_back({viewPrns[i], 20 + i, 30 + i, 40 + i});

    for (uint32_t usedCount : {13u, 0x80000000u, 0xFFFFFFFFu}) {
        for (uint32_t inView : {13u, 24u, 25u, 0x80000000u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(::testing::Message() << "used " << usedCount << " in view " << inView);
            GPS_POSITION p = reading(kAllFields);
            setUsed(p, used);
            setInView(p, view);
            p.dwSatelliteCount = usedCount;
            p.dwSatellitesInView = inView;
            convert(p);
            SatelliteFetch s = fetchSatellites();
            ASSERT_EQ(1, s.result);
            ASSERT_EQ(12, s.count);
            for (uint32_t i = 0; i < 12; ++i) {
                EXPECT_EQ(viewPrns[i], s.table[i].prn) << i;
                EXPECT_EQ(20 + i, s.table[i].elevation) << i;
                EXPECT_EQ(30 + i, s.table[i].azimuth) << i;
                EXPECT_EQ(40 + i, s.table[i].snr) << i;
                EXPECT_EQ(0, s.table[i].used) << i;
            }
            for (int i = 12; i < SATELLITE_TABLE_SIZE; ++i)
                EXPECT_TRUE(unwritten(s.table[i])) << i;
        }
    }

    // A clipped used list of 12 still marks its satellites.
    GPS_POSITION p = reading(kUsedList | kInView);
    setUsed(p, {13, 24, 25, 0, 255, 2, 3, 4, 5, 6, 7, 8});
    setInView(p, view);
    p.dwSatelliteCount = 0xFFFFFFFFu;
    convert(p);
    EXPECT_EQ(std::vector<int>(12, 1), usedMarks(fetchSatellites()));
}

// A driver fetch: records its arguments, delivers a reading or fails.
struct FetchLog {
    GpsHandle device = nullptr;
    GPS_POSITION* buffer = nullptr;
    uint32_t version = 0, size = 0, maximumAge = 0, flags = 0;
    uint32_t result = 0;
    GPS_POSITION delivered;
} fetchLog;

uint32_t fakeFetch(GpsHandle device, GPS_POSITION* position, uint32_t maximumAge, uint32_t flags) {
    fetchLog.device = device;
    fetchLog.buffer = position;
    fetchLog.version = position->dwVersion;
    fetchLog.size = position->dwSize;
    fetchLog.maximumAge = maximumAge;
    fetchLog.flags = flags;
    // A failing driver may still have scribbled over the buffer.
    *position = fetchLog.delivered;
    return fetchLog.result;
}

TEST_F(Conversion, FetchesThroughTheDriverAndIgnoresItsFailures) {
    int deviceObject = 0;
    GpsHandle device = &deviceObject;
    std::memset(&positionBuffer, 0, sizeof positionBuffer);

    fetchLog.delivered = readingB(kAllFields);
    fetchLog.result = 1;
    readPosition(fakeFetch, device);
    EXPECT_EQ(device, fetchLog.device);
    EXPECT_EQ(&positionBuffer, fetchLog.buffer);
    EXPECT_EQ(1u, fetchLog.version);
    EXPECT_EQ(344u, fetchLog.size);
    EXPECT_EQ(50000u, fetchLog.maximumAge);
    EXPECT_EQ(0u, fetchLog.flags);
    GpsRecord r;
    EXPECT_EQ(0, fetch(&r));
    EXPECT_EQ(0, fetchSatellites().result);

    fetchLog.result = 0;
    fetchLog.delivered.dwVersion = 0; // the next call sets it again
    readPosition(fakeFetch, device);
    EXPECT_EQ(1u, fetchLog.version);
    ASSERT_EQ(1, fetch(&r));
    EXPECT_FLOAT_EQ(51.25f, r.latitude);
    EXPECT_EQ(1, fetchSatellites().result);
}

// Every field of reading SEQ derives from SEQ, so that a record or table
// that mixes two readings shows.
GPS_POSITION sequenceReading(uint32_t seq) {
    GPS_POSITION p = reading(kAllFields, seq % 3);
    p.dblLongitude = seq;
    p.dblLatitude = seq + 0.5;
    p.flAltitudeWRTEllipsoid = static_cast<float>(seq) * 2.0f;
    p.flSpeed = static_cast<float>(seq);
    p.flHeading = static_cast<float>(seq) + 0.25f;
    p.flPositionDilutionOfPrecision = static_cast<float>(seq + 1);
    p.flHorizontalDilutionOfPrecision = static_cast<float>(seq + 2);
    p.flVerticalDilutionOfPrecision = static_cast<float>(seq + 3);
    p.stUTCTime.wYear = static_cast<uint16_t>(seq);
    p.stUTCTime.wMonth = static_cast<uint16_t>(seq >> 8 & 0xFF);
    p.stUTCTime.wDay = static_cast<uint16_t>(seq & 0xFF);
    p.stUTCTime.wHour = static_cast<uint16_t>(seq % 24);
    p.stUTCTime.wMinute = static_cast<uint16_t>(seq % 60);
    p.stUTCTime.wSecond = static_cast<uint16_t>(seq % 59);
    p.stUTCTime.wMilliseconds = static_cast<uint16_t>(seq % 1000);
    const uint32_t n = 1 + seq % 12;
    std::vector<Satellite> view;
    std::vector<uint32_t> used;
    for (uint32_t i = 0; i < n; ++i) {
        view.push_back({seq + i, seq * 16 + i, seq + 7 * i, seq ^ i});
        if (i % 2 == 0)
            used.push_back(seq + i);
    }
    setInView(p, view);
    setUsed(p, used);
    return p;
}

GpsRecord sequenceRecord(uint32_t seq) {
    GpsRecord r;
    std::memset(&r, 0, sizeof r);
    r.longitude = static_cast<float>(seq);
    r.latitude = static_cast<float>(seq + 0.5);
    r.altitude = static_cast<float>(seq) * 2.0f;
    r.speed = static_cast<float>(seq) * 1.852f;
    r.heading = static_cast<float>(seq) + 0.25f;
    r.pdop = static_cast<float>(seq + 1);
    r.hdop = static_cast<float>(seq + 2);
    r.vdop = static_cast<float>(seq + 3);
    r.year = static_cast<uint16_t>(seq);
    r.fixStatus = seq % 3 == 1 ? FIX_2D : seq % 3 == 2 ? FIX_3D : FIX_NONE;
    r.month = static_cast<uint8_t>(seq >> 8);
    r.day = static_cast<uint8_t>(seq);
    r.hour = static_cast<uint8_t>(seq % 24);
    r.minute = static_cast<uint8_t>(seq % 60);
    r.second = static_cast<uint8_t>(seq % 59);
    r.milliseconds = static_cast<uint16_t>(seq % 1000);
    return r;
}

// Empty when the set is exactly that of reading SEQ, else what differs.
std::string checkSequenceSet(uint32_t seq, const SatelliteFetch& s) {
    const uint32_t n = 1 + seq % 12;
    if (s.count != static_cast<int32_t>(n))
        return "count " + std::to_string(s.count);
    for (uint32_t i = 0; i < n; ++i) {
        const SatelliteRecord& r = s.table[i];
        if (r.prn != ((seq + i) & 0xFF) || r.elevation != seq * 16 + i ||
            r.azimuth != ((seq + 7 * i) & 0xFFFF) || r.snr != (seq ^ i) || r.used != (i % 2 == 0))
            return "entry " + std::to_string(i);
    }
    if (!unwritten(s.table[n]))
        return "entry past the count written";
    return "";
}

TEST_F(Conversion, HostNeverSeesATornRecordOrTable) {
    const uint32_t kReadings = 50000;
    std::atomic<bool> done(false);
    TestThread reader([&] {
        for (uint32_t seq = 1; seq <= kReadings; ++seq) {
            positionBuffer = sequenceReading(seq);
            convertPosition();
        }
        done = true;
    });
    ASSERT_TRUE(reader.started());

    uint32_t lastRecord = 0, lastSet = 0, records = 0, sets = 0;
    std::string fault;
    for (bool finished = false; fault.empty();) {
        // Read the flag first: after it, whatever is still unfetched is
        // the reader's last publication.
        const bool last = finished;
        GpsRecord r;
        if (PluginGetPosition(&r) == 1) {
            const uint32_t seq = static_cast<uint32_t>(r.longitude);
            if (seq <= lastRecord || seq > kReadings)
                fault = "record " + std::to_string(seq) + " after " + std::to_string(lastRecord);
            else if (!sameRecord(sequenceRecord(seq), r))
                fault = "torn record " + describe(r);
            lastRecord = seq;
            ++records;
        }
        SatelliteFetch s = fetchSatellites();
        if (s.result == 1) {
            const uint32_t seq = s.count > 0 ? s.table[0].elevation / 16 : 0;
            const std::string problem = checkSequenceSet(seq, s);
            if (seq <= lastSet || seq > kReadings)
                fault = "set " + std::to_string(seq) + " after " + std::to_string(lastSet);
            else if (!problem.empty())
                fault = "torn set " + std::to_string(seq) + ": " + problem;
            lastSet = seq;
            ++sets;
        }
        if (last)
            break;
        finished = done.load();
    }
    reader.join();
    EXPECT_EQ("", fault);
    // The last publication of each kind reaches the host.
    EXPECT_EQ(kReadings, lastRecord);
    EXPECT_EQ(kReadings, lastSet);
    std::printf("[          ] %u records and %u sets fetched while %u were published\n", records,
                sets, kReadings);
}

#if defined(__linux__)
// On one CPU with the host's thread above the reader's (SCHED_FIFO), as a
// device with strict priorities runs them: a host that waited on the reader
// in any way would spin there for ever, since the reader never runs while
// the host does. The host sleeps between its polls, so that the reader is
// caught at every point of a publication.
TEST_F(Conversion, HostAboveTheReadersPriorityAlwaysProgresses) {
    cpu_set_t allowed;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
    int cpu = 0;
    while (!CPU_ISSET(cpu, &allowed))
        ++cpu;
    std::vector<GPS_POSITION> readings;
    for (uint32_t seq = 1; seq <= 64; ++seq)
        readings.push_back(sequenceReading(seq));

    const uint32_t kRounds = 4000;
    std::atomic<bool> refused(false), hostReady(false), readerReady(false), stop(false);
    std::atomic<uint32_t> rounds(0), records(0), sets(0);
    std::string fault;
    auto realTime = [&](int priority) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_param sp = {};
        sp.sched_priority = priority;
        if (sched_setaffinity(0, sizeof one, &one) != 0 ||
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) != 0)
            refused = true;
        return !refused;
    };
    std::thread host([&] {
        if (!realTime(2))
            return;
        hostReady = true;
        const timespec pause = {0, 50000};
        while (!readerReady && !refused)
            nanosleep(&pause, nullptr);
        for (uint32_t round = 1; round <= kRounds && fault.empty() && !refused; ++round) {
            GpsRecord r;
            if (PluginGetPosition(&r) == 1) {
                ++records;
                if (!sameRecord(sequenceRecord(static_cast<uint32_t>(r.longitude)), r))
                    fault = "torn record " + describe(r);
            }
            const SatelliteFetch s = fetchSatellites();
            if (s.result == 1) {
                ++sets;
                const std::string problem = checkSequenceSet(s.table[0].elevation / 16, s);
                if (!problem.empty())
                    fault = "torn set: " + problem;
            }
            rounds = round;
            nanosleep(&pause, nullptr);
        }
    });
    while (!hostReady && !refused)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread reader([&] {
        if (!realTime(1))
            return;
        readerReady = true;
        for (uint32_t i = 0; !stop && !refused; ++i) {
            positionBuffer = readings[i % readings.size()];
            convertPosition();
        }
    });
    // A host stuck behind the reader is let go after the time limit, so
    // that the test ends and says so.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (rounds < kRounds && !refused && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const uint32_t reached = rounds;
    sched_param normal = {};
    pthread_setschedparam(host.native_handle(), SCHED_OTHER, &normal);
    pthread_setschedparam(reader.native_handle(), SCHED_OTHER, &normal);
    host.join();
    stop = true;
    if (reader.joinable())
        reader.join();
    if (refused)
        GTEST_SKIP() << "the system refuses real-time priorities here; inversion not tested";
    EXPECT_EQ("", fault);
    EXPECT_EQ(kRounds, reached) << "the host's polls waited on the reader thread";
    // Both threads ran: the host received publications throughout.
    EXPECT_GT(records.load(), kRounds / 4);
    EXPECT_GT(sets.load(), kRounds / 4);
    drain();
}
#endif

} // namespace
