// Track points shared by the benchmark programs, and the plain C library
// way of writing them that the recorder's figures are set against.
#pragma once

#include "../../contract/gps_record.h"

#include <cstdio>
#include <string>
#include <vector>

// COUNT points of a plausible walk: full-precision coordinates near
// 51.25 N 0.5 W, altitudes of a few hundred metres, hdop between 0.6
// and 4, one second apart. The same COUNT always gives the same points.
std::vector<GpsRecord> makeTrackPoints(size_t count);

// COUNT points whose longitude, latitude, altitude and hdop are random
// finite bit patterns: every exponent, subnormals and huge values.
std::vector<GpsRecord> makeRandomBitPoints(size_t count, unsigned seed);

// The baseline: the recorder's point line built with snprintf("%f", ...),
// written with fwrite and flushed, as a logger that keeps every point
// through a crash does. Kept out of line so that instruction counts
// can be taken on exactly this function.
void baselineWritePoint(std::FILE* file, const GpsRecord& r);

// The baseline for the first point of a period: fopen, the header built
// with snprintf from the local clock, then the point. Null when the file
// cannot be created.
std::FILE* baselineFirstPoint(const char* folder, const GpsRecord& r);

// The footer, then fclose.
void baselineClose(std::FILE* file);

// Where the points of a track file begin and end: after the header's
// last line and before the footer. False when TEXT is not shaped so.
bool trackPointLines(const std::string& text, std::string* lines);
