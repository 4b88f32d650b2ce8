#include "gpx_track.h"

#include "../civil_date.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <locale>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace navhost {

namespace {

// Reads exactly COUNT digits at TEXT[POS].
bool digits(const std::string& text, size_t& pos, size_t count, int& value) {
    value = 0;
    for (size_t i = 0; i < count; ++i, ++pos) {
        if (pos >= text.size() || text[pos] < '0' || text[pos] > '9')
            return false;
        value = value * 10 + (text[pos] - '0');
    }
    return true;
}

bool expect(const std::string& text, size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

// A decimal number in the XML's own notation, whatever the C locale.
bool parseNumber(const std::string& text, double& value) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> value;
    return !in.fail() && (in >> std::ws).eof();
}

// The value of attribute NAME in the start tag TAG.
bool attribute(const std::string& tag, const std::string& name, std::string& value) {
    size_t pos = 0;
    while ((pos = tag.find(name, pos)) != std::string::npos) {
        const bool starts = pos > 0 && (tag[pos - 1] == ' ' || tag[pos - 1] == '\t' ||
                                        tag[pos - 1] == '\n' || tag[pos - 1] == '\r');
        size_t p = pos + name.size();
        pos = p;
        while (p < tag.size() && (tag[p] == ' ' || tag[p] == '\t'))
            ++p;
        if (!starts || p >= tag.size() || tag[p] != '=')
            continue;
        ++p;
        while (p < tag.size() && (tag[p] == ' ' || tag[p] == '\t'))
            ++p;
        if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\''))
            continue;
        const size_t end = tag.find(tag[p], p + 1);
        if (end == std::string::npos)
            return false;
        value = tag.substr(p + 1, end - p - 1);
        return true;
    }
    return false;
}

} // namespace

bool parseIsoTime(const std::string& text, int64_t& millis) {
    size_t pos = 0;
    int year, month, day, hour, minute, second, ms = 0;
    if (!digits(text, pos, 4, year) || !expect(text, pos, '-') || !digits(text, pos, 2, month) ||
        !expect(text, pos, '-') || !digits(text, pos, 2, day) || !expect(text, pos, 'T') ||
        !digits(text, pos, 2, hour) || !expect(text, pos, ':') || !digits(text, pos, 2, minute) ||
        !expect(text, pos, ':') || !digits(text, pos, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        int scale = 100;
        if (pos >= text.size() || text[pos] < '0' || text[pos] > '9')
            return false;
        for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, scale /= 10)
            ms += (text[pos] - '0') * scale;
    }
    int64_t offsetMinutes = 0;
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos++] == '-' ? -1 : 1;
        int oh, om;
        if (!digits(text, pos, 2, oh) || !expect(text, pos, ':') || !digits(text, pos, 2, om))
            return false;
        offsetMinutes = sign * (oh * 60 + om);
    }
    if (pos != text.size())
        return false;
    const int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
                            second - offsetMinutes * 60;
    millis = seconds * 1000 + ms;
    return true;
}

std::string formatIsoTime(int64_t millis) {
    int64_t seconds = millis / 1000;
    int64_t ms = millis % 1000;
    if (ms < 0)
        ms += 1000, seconds -= 1;
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0)
        rest += 86400, days -= 1;
    const CivilDate date = civilFromDays(days);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60));
    std::string out = text;
    if (ms != 0) {
        std::snprintf(text, sizeof text, ".%03d", static_cast<int>(ms));
        out += text;
    }
    return out + "Z";
}

std::string formatDuration(int64_t millis) {
    const int64_t seconds = (millis < 0 ? -millis : millis) / 1000;
    char text[48];
    std::snprintf(text, sizeof text, "%s%lld:%02d:%02d", millis < 0 ? "-" : "",
                  static_cast<long long>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
    return text;
}

namespace {

// The time of the point whose content is BODY, when it has one; false,
// with the text found in VALUE, when that is not a time.
bool readPointTime(const std::string& body, TrackPoint& point, std::string& value) {
    const size_t timeStart = body.find("<time>");
    if (timeStart == std::string::npos)
        return true;
    const size_t timeEnd = body.find("</time>", timeStart);
    value = timeEnd == std::string::npos ? "" : body.substr(timeStart + 6, timeEnd - timeStart - 6);
    if (!parseIsoTime(value, point.millis))
        return false;
    point.timed = true;
    return true;
}

} // namespace

bool parseGpxTrack(const std::string& text, Track& track, std::string& error) {
    track = Track();
    size_t pos = 0;
    while ((pos = text.find("<trkpt", pos)) != std::string::npos) {
        const size_t after = pos + 6;
        if (after < text.size() && text[after] != ' ' && text[after] != '\t' &&
            text[after] != '\r' && text[after] != '\n' && text[after] != '>' &&
            text[after] != '/') {
            pos = after; // some other element, such as <trkptx>
            continue;
        }
        const size_t tagEnd = text.find('>', pos);
        if (tagEnd == std::string::npos) {
            error = "a <trkpt> tag is not closed";
            return false;
        }
        const std::string tag = text.substr(pos, tagEnd - pos + 1);
        const size_t number = track.points.size() + 1;
        TrackPoint point;
        std::string lat, lon;
        if (!attribute(tag, "lat", lat) || !attribute(tag, "lon", lon) ||
            !parseNumber(lat, point.latitude) || !parseNumber(lon, point.longitude) ||
            point.latitude < -90 || point.latitude > 90 || point.longitude < -180 ||
            point.longitude > 180) {
            error = "track point " + std::to_string(number) + " has no valid lat and lon";
            return false;
        }
        pos = tagEnd + 1;
        if (tag[tag.size() - 2] != '/') {
            const size_t close = text.find("</trkpt>", pos);
            if (close == std::string::npos) {
                error = "track point " + std::to_string(number) + " is not closed";
                return false;
            }
            std::string time;
            if (!readPointTime(text.substr(pos, close - pos), point, time)) {
                error = "track point " + std::to_string(number) + " has a malformed time \"" +
                        time + "\"";
                return false;
            }
            pos = close + 8;
        }
        track.points.push_back(point);
    }
    const size_t last = text.find_last_not_of(" \t\r\n");
    track.complete =
        last != std::string::npos && last >= 5 && text.compare(last - 5, 6, "</gpx>") == 0;
    return true;
}

bool readGpxTrack(const fs::path& path, Track& track, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path.u8string() + " cannot be read";
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!parseGpxTrack(text, track, error)) {
        error = path.u8string() + ": " + error;
        return false;
    }
    return true;
}

TrackSummary summarize(const Track& track) {
    TrackSummary s;
    s.points = track.points.size();
    for (size_t i = 0; i < track.points.size(); ++i) {
        const TrackPoint& p = track.points[i];
        if (i == 0) {
            s.minLatitude = s.maxLatitude = p.latitude;
            s.minLongitude = s.maxLongitude = p.longitude;
        }
        s.minLatitude = std::min(s.minLatitude, p.latitude);
        s.maxLatitude = std::max(s.maxLatitude, p.latitude);
        s.minLongitude = std::min(s.minLongitude, p.longitude);
        s.maxLongitude = std::max(s.maxLongitude, p.longitude);
        if (p.timed) {
            if (s.timedPoints == 0)
                s.firstMillis = s.lastMillis = p.millis;
            s.firstMillis = std::min(s.firstMillis, p.millis);
            s.lastMillis = std::max(s.lastMillis, p.millis);
            ++s.timedPoints;
        }
    }
    return s;
}

bool endsWithSeparator(const std::string& prefix) {
#if defined(_WIN32)
    return !prefix.empty() && (prefix.back() == '/' || prefix.back() == '\\');
#else
    return !prefix.empty() && prefix.back() == '/';
#endif
}

fs::path tracksFolderOf(const std::string& prefix) {
    const fs::path whole = fs::u8path(prefix);
    fs::path folder = endsWithSeparator(prefix) ? whole : whole.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

std::vector<TrackFileState> listTrackFiles(const std::string& prefix) {
    const std::string start =
        endsWithSeparator(prefix) ? "" : fs::u8path(prefix).filename().u8string();
    std::vector<TrackFileState> files;
    std::error_code ec;
    for (fs::directory_iterator it(tracksFolderOf(prefix), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().u8string();
        std::error_code fileError;
        if (name.size() < start.size() + 4 || name.compare(0, start.size(), start) != 0 ||
            name.compare(name.size() - 4, 4, ".gpx") != 0 || !it->is_regular_file(fileError))
            continue;
        TrackFileState state;
        state.path = it->path();
        state.written = fs::last_write_time(state.path, fileError);
        state.size = fs::file_size(state.path, fileError);
        if (!fileError)
            files.push_back(state);
    }
    return files;
}

fs::path newestChangedTrack(const std::vector<TrackFileState>& before,
                            const std::vector<TrackFileState>& after) {
    const TrackFileState* newest = nullptr;
    for (const TrackFileState& file : after) {
        const bool unchanged =
            std::any_of(before.begin(), before.end(), [&](const TrackFileState& old) {
                return old.path == file.path && old.written == file.written &&
                       old.size == file.size;
            });
        // Later is newer; of two written in the same tick, the later name.
        if (!unchanged &&
            (newest == nullptr || file.written > newest->written ||
             (file.written == newest->written && file.path.filename() > newest->path.filename())))
            newest = &file;
    }
    return newest == nullptr ? fs::path() : newest->path;
}

} // namespace navhost
