#include "nmea.h"

#include <cstring>

namespace nmea {
namespace {

// One comma-separated field: a view into the caller's line.
struct Text {
    const char* p;
    size_t n;
};

constexpr int kMaxFields = 40;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (isDigit(c))
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Unsigned decimal digits only, at most nine of them.
bool readUnsigned(Text t, uint32_t* out) {
    if (t.n == 0 || t.n > 9)
        return false;
    uint32_t v = 0;
    for (size_t i = 0; i < t.n; ++i) {
        if (!isDigit(t.p[i]))
            return false;
        v = v * 10 + static_cast<uint32_t>(t.p[i] - '0');
    }
    *out = v;
    return true;
}

// [sign] digits [. digits], at most 18 digits in all. The digits are
// gathered into an integer and divided once by an exact power of ten, so the
// result is the double nearest to the written value, whatever the locale.
bool readDecimal(Text t, double* out) {
    static const double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8, 1e9,
                                     1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
    size_t i = 0;
    bool negative = false;
    if (i < t.n && (t.p[i] == '-' || t.p[i] == '+'))
        negative = t.p[i++] == '-';
    uint64_t mantissa = 0;
    int digits = 0, fraction = 0;
    bool point = false;
    for (; i < t.n; ++i) {
        char c = t.p[i];
        if (c == '.' && !point) {
            point = true;
        } else if (isDigit(c)) {
            if (++digits > 18)
                return false;
            mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
            if (point)
                ++fraction;
        } else {
            return false;
        }
    }
    if (digits == 0)
        return false;
    double v = static_cast<double>(mantissa) / kPowers[fraction];
    *out = negative ? -v : v;
    return true;
}

// hhmmss[.f...]
bool readTime(Text t, Time* out) {
    if (t.n < 6)
        return false;
    for (int i = 0; i < 6; ++i)
        if (!isDigit(t.p[i]))
            return false;
    int ms = 0;
    if (t.n > 6) {
        if (t.p[6] != '.')
            return false;
        int scale = 100;
        for (size_t i = 7; i < t.n; ++i) {
            if (!isDigit(t.p[i]))
                return false;
            ms += (t.p[i] - '0') * scale;
            scale /= 10;
        }
    }
    Time v = {(t.p[0] - '0') * 10 + (t.p[1] - '0'), (t.p[2] - '0') * 10 + (t.p[3] - '0'),
              (t.p[4] - '0') * 10 + (t.p[5] - '0'), ms};
    if (v.hour > 23 || v.minute > 59 || v.second > 60)
        return false;
    *out = v;
    return true;
}

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// ddmmyy; two-digit years below 80 are this century's.
bool readDate(Text t, Date* out) {
    if (t.n != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        if (!isDigit(t.p[i]))
            return false;
    int day = (t.p[0] - '0') * 10 + (t.p[1] - '0');
    int month = (t.p[2] - '0') * 10 + (t.p[3] - '0');
    int yy = (t.p[4] - '0') * 10 + (t.p[5] - '0');
    int year = yy < 80 ? 2000 + yy : 1900 + yy;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
        return false;
    *out = {year, month, day};
    return true;
}

// (d)ddmm.mmmm and a hemisphere letter: degrees, negative for the second
// letter (S or W).
bool readAngle(Text value, Text hemisphere, char positive, char negative, int maxDegrees,
               double* out) {
    if (hemisphere.n != 1 || (hemisphere.p[0] != positive && hemisphere.p[0] != negative))
        return false;
    size_t whole = 0;
    while (whole < value.n && isDigit(value.p[whole]))
        ++whole;
    if (whole < 3 || whole > 5)
        return false;
    uint32_t degrees;
    double minutes;
    if (!readUnsigned({value.p, whole - 2}, &degrees) ||
        !readDecimal({value.p + whole - 2, value.n - (whole - 2)}, &minutes) || minutes >= 60.0)
        return false;
    double v = degrees + minutes / 60.0;
    if (v > maxDegrees)
        return false;
    *out = hemisphere.p[0] == negative ? -v : v;
    return true;
}

// ---- The field tables ----

enum class Type {
    kSkip,
    kTime,
    kDate,
    kLatitude,          // value, N/S
    kLongitude,         // value, E/W
    kMagneticVariation, // value, E/W
    kChar,
    kInt,
    kFloat,
    kPrnList,    // kMaxUsedPrns fields
    kSatellites, // the rest, four fields per satellite
};

struct FieldSpec {
    Type type;
    size_t offset;       // of the target in Sentence
    uint32_t bit;        // its Field bit
    const char* allowed; // kChar: the letters accepted
    int32_t min, max;    // kInt: the range accepted
};

// How many comma-separated fields each type consumes.
int width(Type t) {
    switch (t) {
    case Type::kLatitude:
    case Type::kLongitude:
    case Type::kMagneticVariation:
        return 2;
    case Type::kPrnList:
        return kMaxUsedPrns;
    default:
        return 1;
    }
}

#define AT(member) offsetof(Sentence, member)
const FieldSpec kGga[] = {
    {Type::kTime, AT(time), kTime, nullptr, 0, 0},
    {Type::kLatitude, AT(latitude), kLatitude, nullptr, 0, 0},
    {Type::kLongitude, AT(longitude), kLongitude, nullptr, 0, 0},
    {Type::kInt, AT(quality), kQuality, nullptr, 0, 8},
    {Type::kInt, AT(satellitesUsed), kSatellitesUsed, nullptr, 0, 99},
    {Type::kFloat, AT(hdop), kHdop, nullptr, 0, 0},
    {Type::kFloat, AT(altitude), kAltitude, nullptr, 0, 0},
    {Type::kSkip, 0, 0, nullptr, 0, 0}, // altitude unit
    {Type::kFloat, AT(geoidSeparation), kGeoidSeparation, nullptr, 0, 0},
};
const FieldSpec kRmc[] = {
    {Type::kTime, AT(time), kTime, nullptr, 0, 0},
    {Type::kChar, AT(status), kStatus, "AV", 0, 0},
    {Type::kLatitude, AT(latitude), kLatitude, nullptr, 0, 0},
    {Type::kLongitude, AT(longitude), kLongitude, nullptr, 0, 0},
    {Type::kFloat, AT(speedKnots), kSpeed, nullptr, 0, 0},
    {Type::kFloat, AT(course), kCourse, nullptr, 0, 0},
    {Type::kDate, AT(date), kDate, nullptr, 0, 0},
    {Type::kMagneticVariation, AT(magneticVariation), kMagneticVariation, nullptr, 0, 0},
};
const FieldSpec kGsa[] = {
    {Type::kChar, AT(selection), kSelection, "AM", 0, 0},
    {Type::kInt, AT(fixMode), kFixMode, nullptr, 1, 3},
    {Type::kPrnList, AT(usedPrns), 0, nullptr, 1, 999},
    {Type::kFloat, AT(pdop), kPdop, nullptr, 0, 0},
    {Type::kFloat, AT(hdop), kHdop, nullptr, 0, 0},
    {Type::kFloat, AT(vdop), kVdop, nullptr, 0, 0},
};
const FieldSpec kGsv[] = {
    {Type::kInt, AT(gsvTotal), kGsvHeader, nullptr, 1, 9},
    {Type::kInt, AT(gsvIndex), kGsvHeader, nullptr, 1, 9},
    {Type::kInt, AT(gsvInView), kGsvHeader, nullptr, 0, 99},
    {Type::kSatellites, AT(satellites), 0, nullptr, 0, 0},
};
#undef AT

struct SentenceType {
    const char* name;
    Kind kind;
    const FieldSpec* fields;
    size_t count;
    uint32_t required; // Field bits without which the sentence means nothing
};
const SentenceType kTypes[] = {
    {"GGA", Kind::kGga, kGga, sizeof kGga / sizeof kGga[0], 0},
    {"RMC", Kind::kRmc, kRmc, sizeof kRmc / sizeof kRmc[0], kStatus},
    {"GSA", Kind::kGsa, kGsa, sizeof kGsa / sizeof kGsa[0], 0},
    {"GSV", Kind::kGsv, kGsv, sizeof kGsv / sizeof kGsv[0], kGsvHeader},
};

// Satellite system talkers: GPS, several systems, GLONASS, Galileo, BeiDou.
const char* const kTalkers[] = {"GP", "GN", "GL", "GA", "BD", "GB"};

template <typename T> T& member(Sentence* s, size_t offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(s) + offset);
}

// Four fields per satellite: PRN, elevation, azimuth, SNR. A block without a
// PRN names no satellite; an empty value of the others reads as 0. Since
// NMEA 4.10 a signal id follows the last block: one field more than whole
// blocks, never a satellite.
bool readSatellites(const Text* f, int count, Sentence* s) {
    s->satelliteCount = 0;
    if (count % 4 == 1)
        --count;
    for (int i = 0; i < count && s->satelliteCount < kMaxSatellitesPerGsv; i += 4) {
        uint32_t v[4] = {0, 0, 0, 0};
        static const uint32_t kMax[4] = {999, 90, 360, 99};
        for (int k = 0; k < 4 && i + k < count; ++k) {
            if (f[i + k].n == 0)
                continue;
            if (!readUnsigned(f[i + k], &v[k]) || v[k] > kMax[k])
                return false;
        }
        if (f[i].n == 0)
            continue;
        s->satellites[s->satelliteCount++] = {v[0], v[1], v[2], v[3]};
    }
    return true;
}

// Reads FIELDS by the table; fields beyond the sentence's end are absent.
bool readFields(const SentenceType& type, const Text* fields, int count, Sentence* s) {
    int at = 0;
    for (size_t k = 0; k < type.count; ++k) {
        const FieldSpec& column = type.fields[k];
        const int n = width(column.type);
        if (at >= count)
            return true; // the sentence ends before this field
        if (column.type == Type::kSatellites)
            return readSatellites(fields + at, count - at, s);
        const Text empty = {"", 0};
        const Text f = at < count ? fields[at] : empty;
        const Text g = at + 1 < count ? fields[at + 1] : empty;
        at += n;
        if (column.type == Type::kSkip)
            continue;
        if (column.type == Type::kPrnList) {
            for (int i = 0; i < n && at - n + i < count; ++i) {
                uint32_t prn;
                const Text p = fields[at - n + i];
                if (p.n == 0)
                    continue;
                if (!readUnsigned(p, &prn) || prn < static_cast<uint32_t>(column.min) ||
                    prn > static_cast<uint32_t>(column.max))
                    return false;
                s->usedPrns[s->usedPrnCount++] = prn;
            }
            continue;
        }
        if (f.n == 0)
            continue; // an empty field: not read
        bool ok = false;
        switch (column.type) {
        case Type::kTime:
            ok = readTime(f, &member<Time>(s, column.offset));
            break;
        case Type::kDate:
            ok = readDate(f, &member<Date>(s, column.offset));
            break;
        case Type::kLatitude:
            ok = readAngle(f, g, 'N', 'S', 90, &member<double>(s, column.offset));
            break;
        case Type::kLongitude:
            ok = readAngle(f, g, 'E', 'W', 180, &member<double>(s, column.offset));
            break;
        case Type::kMagneticVariation: {
            double v;
            ok = readDecimal(f, &v) && v >= 0 && v <= 180 && g.n == 1 &&
                 (g.p[0] == 'E' || g.p[0] == 'W');
            if (ok)
                member<double>(s, column.offset) = g.p[0] == 'W' ? -v : v;
            break;
        }
        case Type::kChar:
            ok = f.n == 1 && std::strchr(column.allowed, f.p[0]) != nullptr;
            if (ok)
                member<char>(s, column.offset) = f.p[0];
            break;
        case Type::kInt: {
            uint32_t v;
            ok = readUnsigned(f, &v) && v >= static_cast<uint32_t>(column.min) &&
                 v <= static_cast<uint32_t>(column.max);
            if (ok)
                member<int>(s, column.offset) = static_cast<int>(v);
            break;
        }
        case Type::kFloat: {
            double v;
            ok = readDecimal(f, &v) && v > -1e7 && v < 1e7;
            if (ok)
                member<float>(s, column.offset) = static_cast<float>(v);
            break;
        }
        default:
            break;
        }
        if (!ok)
            return false;
        s->present |= column.bit;
    }
    return true;
}

} // namespace

bool checksumMatches(const char* line, size_t length) {
    unsigned sum = 0;
    size_t i = 1;
    for (; i < length && line[i] != '*'; ++i)
        sum ^= static_cast<unsigned char>(line[i]);
    if (i + 3 != length)
        return false;
    int high = hexValue(line[i + 1]), low = hexValue(line[i + 2]);
    return high >= 0 && low >= 0 && static_cast<unsigned>(high * 16 + low) == sum;
}

Result parse(const char* line, size_t length, Sentence* out) {
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        --length;
    if (length == 0 || line[0] == '#')
        return Result::kIgnored;
    if (line[0] != '$')
        return Result::kIgnored; // AIS ('!') and anything that is not a sentence
    if (length > kMaxSentenceLength)
        return Result::kTooLong;
    if (!checksumMatches(line, length))
        return Result::kBadChecksum;

    // "$ttsss," then the fields up to '*'.
    const size_t end = length - 3;
    if (end < 6 || (end > 6 && line[6] != ','))
        return Result::kIgnored;
    const SentenceType* type = nullptr;
    for (const SentenceType& t : kTypes)
        if (std::memcmp(line + 3, t.name, 3) == 0)
            type = &t;
    bool talkerKnown = false;
    for (const char* t : kTalkers)
        if (std::memcmp(line + 1, t, 2) == 0)
            talkerKnown = true;
    if (type == nullptr || !talkerKnown)
        return Result::kIgnored;

    Text fields[kMaxFields];
    int count = 0;
    for (size_t start = 7; start <= end && end > 6;) {
        if (count == kMaxFields)
            return Result::kMalformed;
        size_t stop = start;
        while (stop < end && line[stop] != ',')
            ++stop;
        fields[count++] = {line + start, stop - start};
        start = stop + 1;
    }

    Sentence s;
    std::memset(&s, 0, sizeof s);
    s.kind = type->kind;
    s.talker[0] = line[1];
    s.talker[1] = line[2];
    if (!readFields(*type, fields, count, &s) || (s.present & type->required) != type->required)
        return Result::kMalformed;
    if (s.kind == Kind::kGsv && s.gsvIndex > s.gsvTotal)
        return Result::kMalformed;
    *out = s;
    return Result::kParsed;
}

} // namespace nmea
