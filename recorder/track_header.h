/* The track file's name and header: written by the recorder when it opens
 * a file, and rebuilt from a file's name when a torn file is mended. */
#ifndef RECORDER_TRACK_HEADER_H
#define RECORDER_TRACK_HEADER_H

#include "../contract/base.h"
#include "../platform/platform.h"
#include "gpx_text.h"

/* "%04d-%02d-%02d_%02d-%02d-%02d.gpx" with any six 32-bit values. */
#define TRACK_FILE_NAME_MAX (6 * GPX_INT_MAX + 5 + 4)

/* Appends a string literal without its terminator. */
#define APPEND_LITERAL(out, text)                                                                  \
    (memcpy((out), (text), sizeof(text) - 1), (out) + sizeof(text) - 1)

/* "YYYY?MM?DD?hh?mm?ss" with the separators each format wants. */
char* appendDateTime(char* out, int32_t year, int32_t month, int32_t day, int32_t hour,
                     int32_t minute, int32_t second, const char* separators);

/* The file's own name, "YYYY-MM-DD_hh-mm-ss.gpx". Returns its end. */
char* appendTrackFileName(char* out, const LocalTime& t);

/* The eight header lines of the file named after T, at OUT (room for
 * TRACK_HEADER_MAX bytes). Returns their length. */
size_t buildTrackHeader(char* out, const LocalTime& t);

/* True when NAME is exactly "dddd-dd-dd_dd-dd-dd.gpx", its fields into *T. */
bool readTrackFileName(const WideChar* name, LocalTime* t);

#endif
