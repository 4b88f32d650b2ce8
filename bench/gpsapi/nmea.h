// A small NMEA 0183 sentence parser for the simulated GPS driver: it checks a
// sentence's checksum and reads the fields of the four sentences a GPS driver
// builds its readings from (GGA, RMC, GSA, GSV), for the satellite talkers.
// It takes arbitrary bytes and never reads outside the given line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nmea {

// The longest sentence, from '$' through the checksum digits. The standard
// says 82 with the line ending, but receivers exceed it (91 and 105 seen).
constexpr size_t kMaxSentenceLength = 128;
constexpr int kMaxUsedPrns = 12;
constexpr int kMaxSatellitesPerGsv = 4;

enum class Kind { kGga, kRmc, kGsa, kGsv };

enum class Result {
    kParsed,      // a GGA, RMC, GSA or GSV sentence from a satellite talker
    kIgnored,     // blank, a '#' comment, another talker or sentence type
    kBadChecksum, // missing or wrong checksum
    kMalformed,   // good checksum, but a field cannot be read
    kTooLong,     // longer than kMaxSentenceLength
};

struct Time {
    int hour, minute, second, millisecond;
};
struct Date {
    int year, month, day;
};
struct SatelliteInView {
    uint32_t prn, elevation, azimuth, snr;
};

// Bits of Sentence::present: which fields the sentence carried.
enum Field : uint32_t {
    kTime = 1u << 0,
    kDate = 1u << 1,
    kLatitude = 1u << 2,
    kLongitude = 1u << 3,
    kStatus = 1u << 4,
    kSpeed = 1u << 5,
    kCourse = 1u << 6,
    kMagneticVariation = 1u << 7,
    kQuality = 1u << 8,
    kSatellitesUsed = 1u << 9,
    kHdop = 1u << 10,
    kAltitude = 1u << 11,
    kGeoidSeparation = 1u << 12,
    kSelection = 1u << 13,
    kFixMode = 1u << 14,
    kPdop = 1u << 15,
    kVdop = 1u << 16,
    kGsvHeader = 1u << 17, // group size, index and in-view count
};

struct Sentence {
    Kind kind;
    char talker[3];
    uint32_t present; // Field bits
    Time time;
    Date date;
    double latitude, longitude; // degrees, north and east positive
    double magneticVariation;   // degrees, east positive
    float speedKnots, course;
    float hdop, pdop, vdop;
    float altitude, geoidSeparation; // metres
    char status;                     // RMC: 'A' valid, 'V' void
    char selection;                  // GSA: 'A' automatic, 'M' manual
    int quality;                     // GGA fix quality
    int satellitesUsed;              // GGA
    int fixMode;                     // GSA: 1 none, 2 two-, 3 three-dimensional
    int usedPrnCount;                // GSA
    uint32_t usedPrns[kMaxUsedPrns];
    int gsvTotal, gsvIndex, gsvInView; // GSV: sentences in the group, this one's number
    int satelliteCount;                // GSV: satellites in this sentence
    SatelliteInView satellites[kMaxSatellitesPerGsv];
};

// Parses LINE of LENGTH bytes (a trailing CR or LF is allowed). OUT is
// filled only when the result is kParsed.
Result parse(const char* line, size_t length, Sentence* out);

// True when the checksum after '*' matches the characters between '$' and
// '*'. LINE must start with '$'.
bool checksumMatches(const char* line, size_t length);

} // namespace nmea
