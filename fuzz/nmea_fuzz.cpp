// Fuzz target: the simulated driver's NMEA replay parser with arbitrary
// lines, and the epoch assembly over what it parses. Each line sits in a
// heap block of exactly its length, so that a read past it is caught. The
// parser's results must agree with a plain reading of the checksum and the
// length limit, parsed fields must lie in their ranges, and every reading
// the assembly completes must be one a driver could hand out.
#include "../bench/gpsapi/epoch.h"
#include "../bench/gpsapi/nmea.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

[[noreturn]] void fail(const char* what, const std::string& line) {
    std::fprintf(stderr, "nmea check failed: %s in \"%s\"\n", what, line.c_str());
    std::abort();
}

unsigned long long linesParsed, sentencesParsed, readingsChecked;

// Whether LINE (without its line ending) ends in "*hh", its only '*',
// whose value is the exclusive or of every character between the '$' and
// the '*'.
bool referenceChecksum(const std::string& line) {
    if (line.size() < 4 || line[0] != '$' || line.find('*') != line.size() - 3)
        return false;
    unsigned sum = 0;
    for (size_t i = 1; i + 3 < line.size(); ++i)
        sum ^= static_cast<unsigned char>(line[i]);
    // The sum written out, which a receiver may spell in either case.
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02X", sum);
    for (size_t i = 0; i < 2; ++i)
        if (std::toupper(static_cast<unsigned char>(line[line.size() - 2 + i])) != expected[i])
            return false;
    return true;
}

void checkSentence(const nmea::Sentence& s, const std::string& line) {
    if (s.present & nmea::kTime) {
        if (s.time.hour < 0 || s.time.hour > 23 || s.time.minute < 0 || s.time.minute > 59 ||
            s.time.second < 0 || s.time.second > 60 || s.time.millisecond < 0 ||
            s.time.millisecond > 999)
            fail("time out of range", line);
    }
    if (s.present & nmea::kDate) {
        if (s.date.month < 1 || s.date.month > 12 || s.date.day < 1 || s.date.day > 31)
            fail("date out of range", line);
    }
    if ((s.present & nmea::kLatitude) && !(std::fabs(s.latitude) <= 90.0))
        fail("latitude out of range", line);
    if ((s.present & nmea::kLongitude) && !(std::fabs(s.longitude) <= 180.0))
        fail("longitude out of range", line);
    if (s.kind == nmea::Kind::kGsa && (s.usedPrnCount < 0 || s.usedPrnCount > nmea::kMaxUsedPrns))
        fail("used count out of range", line);
    if (s.kind == nmea::Kind::kGsv &&
        (s.satelliteCount < 0 || s.satelliteCount > nmea::kMaxSatellitesPerGsv))
        fail("satellites per sentence out of range", line);
}

void checkReading(const GPS_POSITION& p) {
    const std::string what = "reading";
    if (p.dwVersion != GPS_VERSION_1 || p.dwSize != GPS_POSITION_SIZE)
        fail("version or size of a reading", what);
    if (p.dwValidFields & ~0x3FFFFu)
        fail("unknown valid bits", what);
    if (p.FixType > GPS_FIX_3D)
        fail("fix type", what);
    // A count alone may be the receiver's (a GGA counts beyond 12); with the
    // list it counts the list, which has 12 entries.
    const uint32_t usedList = GPS_VALID_SATELLITE_COUNT | GPS_VALID_SATELLITES_USED_PRNS;
    if ((p.dwValidFields & usedList) == usedList && p.dwSatelliteCount > GPS_MAX_SATELLITES)
        fail("used list longer than the driver's array", what);
    if ((p.dwValidFields & GPS_VALID_SATELLITES_IN_VIEW) &&
        p.dwSatellitesInView > GPS_MAX_SATELLITES)
        fail("in-view count beyond the driver's array", what);
    if (p.dwValidFields & GPS_VALID_UTC_TIME) {
        const GpsSystemTime& t = p.stUTCTime;
        if (t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 || t.wDay > 31 || t.wHour > 23 ||
            t.wMinute > 59 || t.wSecond > 60 || t.wMilliseconds > 999 || t.wDayOfWeek > 6)
            fail("time of a reading out of range", what);
    }
    if ((p.dwValidFields & GPS_VALID_LATITUDE) && !(std::fabs(p.dblLatitude) <= 90.0))
        fail("latitude of a reading", what);
    if ((p.dwValidFields & GPS_VALID_LONGITUDE) && !(std::fabs(p.dblLongitude) <= 180.0))
        fail("longitude of a reading", what);
    ++readingsChecked;
}

// Lines shaped like sentences reach the field readers more often than
// random bytes would: a talker and type the parser knows, the input's
// fields, and sometimes a correct checksum.
std::string consumeLine(FuzzedDataProvider& in) {
    std::string body = in.ConsumeRandomLengthString(120);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return body;
    default: {
        static const char* heads[] = {"GPGGA,", "GPRMC,", "GPGSA,", "GPGSV,", "GNGGA,",
                                      "GNRMC,", "GLGSV,", "GAGSA,", "BDGSV,", "GPXXX,"};
        std::string sentence = std::string(in.PickValueInArray(heads)) + body;
        unsigned sum = 0;
        for (char c : sentence)
            sum ^= static_cast<unsigned char>(c);
        if (in.ConsumeBool())
            sum ^= in.ConsumeIntegral<uint8_t>();
        char tail[8];
        std::snprintf(tail, sizeof tail, "*%02X", sum & 0xFF);
        std::string line = "$" + sentence + tail;
        if (in.ConsumeBool())
            line += in.ConsumeBool() ? "\r\n" : "\n";
        return line;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit([] {
        std::printf("nmea: %llu lines, %llu sentences parsed, %llu readings checked\n", linesParsed,
                    sentencesParsed, readingsChecked);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    nmea::EpochAssembler epochs;
    if (in.ConsumeBool()) {
        const nmea::Date date = {in.ConsumeIntegralInRange<int>(1980, 2100),
                                 in.ConsumeIntegralInRange<int>(1, 12),
                                 in.ConsumeIntegralInRange<int>(1, 28)};
        const nmea::Time at = {in.ConsumeIntegralInRange<int>(0, 23),
                               in.ConsumeIntegralInRange<int>(0, 59),
                               in.ConsumeIntegralInRange<int>(0, 59), 0};
        epochs.seedDate(date, at);
    }
    GPS_POSITION reading;
    for (int n = 0; n < 64 && in.remaining_bytes() > 0; ++n) {
        const std::string line = consumeLine(in);
        // Exactly the line's bytes, no terminator, on the heap.
        std::unique_ptr<char[]> exact(new char[line.size() == 0 ? 1 : line.size()]);
        std::memcpy(exact.get(), line.data(), line.size());
        nmea::Sentence s;
        const nmea::Result r = nmea::parse(exact.get(), line.size(), &s);
        ++linesParsed;

        std::string bare = line;
        while (!bare.empty() && (bare.back() == '\r' || bare.back() == '\n'))
            bare.pop_back();
        if (!bare.empty() && bare[0] == '$') {
            if (nmea::checksumMatches(exact.get(), bare.size()) != referenceChecksum(bare))
                fail("checksum reading differs", line);
            if (r == nmea::Result::kParsed && !referenceChecksum(bare))
                fail("parsed without a good checksum", line);
        }
        if (r == nmea::Result::kParsed && bare.size() > nmea::kMaxSentenceLength)
            fail("parsed a sentence that is too long", line);
        if (r != nmea::Result::kParsed)
            continue;
        ++sentencesParsed;
        checkSentence(s, line);
        std::memset(&reading, 0xCC, sizeof reading);
        if (epochs.add(s, &reading))
            checkReading(reading);
    }
    std::memset(&reading, 0xCC, sizeof reading);
    if (epochs.finish(&reading))
        checkReading(reading);
    return 0;
}
