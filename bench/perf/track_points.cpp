#include "track_points.h"

#include "../../harness/track_text.h"

#include <cstring>
#include <ctime>
#include <random>
#include <string>

namespace {

// The C library's reentrant calendar conversions, by their names on each
// system.
void utcCalendar(std::time_t at, std::tm* t) {
#if defined(_WIN32)
    gmtime_s(t, &at);
#else
    gmtime_r(&at, t);
#endif
}
void localCalendar(std::time_t at, std::tm* t) {
#if defined(_WIN32)
    localtime_s(t, &at);
#else
    localtime_r(&at, t);
#endif
}

GpsRecord recordAt(std::time_t utc) {
    GpsRecord r;
    std::memset(&r, 0, sizeof r);
    std::tm t;
    utcCalendar(utc, &t);
    r.year = t.tm_year + 1900;
    r.month = static_cast<uint8_t>(t.tm_mon + 1);
    r.day = static_cast<uint8_t>(t.tm_mday);
    r.hour = static_cast<uint8_t>(t.tm_hour);
    r.minute = static_cast<uint8_t>(t.tm_min);
    r.second = static_cast<uint8_t>(t.tm_sec);
    r.fixStatus = FIX_3D;
    return r;
}

const char kHeaderEnd[] = "<trkseg>\r\n";

} // namespace

std::vector<GpsRecord> makeTrackPoints(size_t count) {
    std::mt19937 random(20100520);
    std::uniform_real_distribution<double> step(-2e-4, 2e-4), climb(-0.8, 0.8), dop(0.6, 4.0);
    std::vector<GpsRecord> points;
    points.reserve(count);
    double lon = -0.5, lat = 51.25, ele = 120.0;
    const std::time_t start = 1274364187; // 2010-05-20 14:03:07 UTC
    for (size_t i = 0; i < count; ++i) {
        GpsRecord r = recordAt(start + static_cast<std::time_t>(i));
        lon += step(random);
        lat += step(random) * 0.6;
        ele += climb(random);
        r.longitude = static_cast<float>(lon);
        r.latitude = static_cast<float>(lat);
        r.altitude = static_cast<float>(ele);
        r.hdop = static_cast<float>(dop(random));
        points.push_back(r);
    }
    return points;
}

std::vector<GpsRecord> makeRandomBitPoints(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    auto finite = [&random] {
        for (;;) {
            const uint32_t bits = random();
            if ((bits & 0x7F800000u) == 0x7F800000u)
                continue;
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
    };
    std::vector<GpsRecord> points;
    points.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        GpsRecord r = recordAt(static_cast<std::time_t>(random() % 4000000000u));
        r.longitude = finite();
        r.latitude = finite();
        r.altitude = finite();
        r.hdop = finite();
        points.push_back(r);
    }
    return points;
}

__attribute__((noinline)) void baselineWritePoint(std::FILE* file, const GpsRecord& r) {
    char line[512];
    const int n = std::snprintf(
        line, sizeof line,
        "<trkpt lon=\"%f\" lat=\"%f\"><time>%04d-%02d-%02dT%02d:%02d:%02dZ</time>"
        "<type>MWP</type><ele>%f</ele><hdop>%f</hdop></trkpt>\r\n",
        static_cast<double>(r.longitude), static_cast<double>(r.latitude), r.year, r.month, r.day,
        r.hour, r.minute, r.second, static_cast<double>(r.altitude), static_cast<double>(r.hdop));
    std::fwrite(line, 1, static_cast<size_t>(n), file);
    std::fflush(file);
}

__attribute__((noinline)) std::FILE* baselineFirstPoint(const char* folder, const GpsRecord& r) {
    const std::time_t now = std::time(nullptr);
    std::tm t;
    localCalendar(now, &t);
    const int y = t.tm_year + 1900, mo = t.tm_mon + 1;
    char name[64];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d_%02d-%02d-%02d.gpx", y, mo, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    std::FILE* file = std::fopen((std::string(folder) + name).c_str(), "wb");
    if (file == nullptr)
        return nullptr;
    const std::string header = expectedHeader(name);
    std::fwrite(header.data(), 1, header.size(), file);
    baselineWritePoint(file, r);
    return file;
}

void baselineClose(std::FILE* file) {
    std::fwrite(kTrackFooter, 1, std::strlen(kTrackFooter), file);
    std::fclose(file);
}

bool trackPointLines(const std::string& text, std::string* lines) {
    const size_t begin = text.find(kHeaderEnd);
    const size_t footer = std::strlen(kTrackFooter);
    if (begin == std::string::npos || text.size() < begin + footer ||
        text.compare(text.size() - footer, footer, kTrackFooter) != 0)
        return false;
    const size_t first = begin + sizeof kHeaderEnd - 1;
    if (text.size() < first + footer)
        return false;
    *lines = text.substr(first, text.size() - footer - first);
    return true;
}
