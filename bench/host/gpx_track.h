// Reading back the track points of a GPX file, and what the host reports
// about them: how many, the time span and the bounding box.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace navhost {

struct TrackPoint {
    double latitude = 0, longitude = 0;
    bool timed = false;
    int64_t millis = 0; // UTC milliseconds since 1970 when timed
};

struct Track {
    std::vector<TrackPoint> points;
    bool complete = false; // the file ends with its closing </gpx>
};

struct TrackSummary {
    size_t points = 0;
    size_t timedPoints = 0;
    int64_t firstMillis = 0, lastMillis = 0; // earliest and latest point time
    double minLatitude = 0, maxLatitude = 0, minLongitude = 0, maxLongitude = 0;
};

// The <trkpt> elements of the GPX text TEXT, in file order. False, with a
// message, when a point lacks a readable lat or lon or a time is malformed.
bool parseGpxTrack(const std::string& text, Track& track, std::string& error);
bool readGpxTrack(const std::filesystem::path& path, Track& track, std::string& error);

TrackSummary summarize(const Track& track);

// "YYYY-MM-DDThh:mm:ss[.fff][Z|+hh:mm|-hh:mm]" to UTC milliseconds since
// 1970; a time without a zone is taken as UTC. False when malformed.
bool parseIsoTime(const std::string& text, int64_t& millis);
// Milliseconds since 1970 as "YYYY-MM-DDThh:mm:ssZ" (".fff" when not whole).
std::string formatIsoTime(int64_t millis);
// A duration in milliseconds as "h:mm:ss".
std::string formatDuration(int64_t millis);

// A track file as found in the tracks folder.
struct TrackFileState {
    std::filesystem::path path;
    std::filesystem::file_time_type written;
    uintmax_t size = 0;
};

// The files in the folder of PREFIX whose names start with the rest of
// PREFIX and end with ".gpx": a tracks folder setting is a plain name
// prefix, so "/data/tracks/" names a folder and "/data/run-" a folder and
// the start of the names in it.
std::vector<TrackFileState> listTrackFiles(const std::string& prefix);
// The newest file of AFTER that BEFORE does not hold unchanged, or an empty
// path when there is none.
std::filesystem::path newestChangedTrack(const std::vector<TrackFileState>& before,
                                         const std::vector<TrackFileState>& after);
// The folder a tracks prefix writes into.
std::filesystem::path tracksFolderOf(const std::string& prefix);
// Whether a tracks prefix names a folder: it ends with a path separator.
bool endsWithSeparator(const std::string& prefix);

} // namespace navhost
