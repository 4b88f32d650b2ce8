// What the recorder's track files hold, for tests that read them back.
#pragma once

#include "../contract/gps_record.h"

#include <string>
#include <vector>

// The two footer lines.
extern const char kTrackFooter[];

// The eight header lines of the file NAME ("YYYY-MM-DD_hh-mm-ss.gpx").
std::string expectedHeader(const std::string& name);

// True when NAME has the form "YYYY-MM-DD_hh-mm-ss.gpx".
bool isTrackName(const std::string& name);

// A usable record (3-D fix) at 2010-05-20 14:03:07.250 UTC.
GpsRecord makeRecord(float lon, float lat, float ele, float hdop);

// The I-th record of a series whose records differ from each other and
// whose values print exactly (quarters and whole numbers): lon, lat and
// hdop cycle through quarters, ele is I itself (exact below 2^24), and the
// time advances one second per record from 2010-05-20 00:00:00.
GpsRecord sequenceRecord(uint32_t i);

// The track point line, CR LF included, that the recorder writes for R. It
// is formatted with the C library, in the "C" locale: exact for the values
// of sequenceRecord on every target, and for any value with glibc.
std::string pointLine(const GpsRecord& r);
// The point lines of sequence records FROM .. TO - 1.
std::string pointLines(uint32_t from, uint32_t to);
