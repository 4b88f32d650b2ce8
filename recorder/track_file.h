/* The one open track file, in static storage. The file on disk is a whole
 * GPX document after every point: each point is one positioned write of its
 * line over the footer, followed by the footer again, so that a process
 * that dies between two points leaves a complete track. A write that fails,
 * or writes part of its bytes, is undone: the footer goes back over the
 * end of the last whole point and the file is cut there, so no line is ever
 * left cut. Nothing is flushed to the medium: a power loss may still lose
 * what the system had not written out. */
#ifndef RECORDER_TRACK_FILE_H
#define RECORDER_TRACK_FILE_H

#include "../contract/base.h"
#include "../platform/platform.h"

#include <string.h>

/* Longest header and point line the recorder writes. */
#define TRACK_HEADER_MAX 640
#define TRACK_LINE_MAX 400
/* The two footer lines. */
#define TRACK_FOOTER "</trkseg></trk>\r\n</gpx>\r\n"
#define TRACK_FOOTER_LENGTH (sizeof TRACK_FOOTER - 1)

/* Creates the file at PATH, only where no file of that name exists; HEADER
 * (SIZE bytes, at most TRACK_HEADER_MAX) goes out with the first point.
 * False when the file cannot be created, *nameTaken telling whether the
 * name exists. */
bool trackFileCreate(const WideChar* path, const char* header, size_t size, bool* nameTaken);

/* What a point's write needs, read inline: every point asks. */
struct TrackFileState {
    char* line;          /* where the next line is built; null when no file is open */
    PlatformHandle file; /* the open file */
    uint32_t end;        /* bytes of the header and whole points on disk */
    bool steady;         /* header and footer on disk, no cut pending */
};
extern TrackFileState trackFile;

/* Where the next point's line (at most TRACK_LINE_MAX bytes) is built; null
 * when no file is open. */
inline char* trackFileLine() {
    return trackFile.line;
}

/* trackFileCommitLine away from the steady state, or after its write
 * failed (WRITE_FAILED): the header, a refused cut, the undoing. */
void trackFileCommitLineRare(const char* lineEnd, bool writeFailed);

/* Writes the line that ends at END (room for the footer after it): header
 * when the file lacks it, line and footer, in one write at the end of the
 * last whole point. A point that cannot be written is dropped and the file
 * kept whole. */
inline void trackFileCommitLine(char* lineEnd) {
    TrackFileState& t = trackFile;
    memcpy(lineEnd, TRACK_FOOTER, TRACK_FOOTER_LENGTH);
    const size_t size = static_cast<size_t>(lineEnd - t.line) + TRACK_FOOTER_LENGTH;
    /* Offsets are 32-bit: a track stops growing before 4 GiB. */
    if (!t.steady || size > 0xFFFFFFFFu - t.end)
        trackFileCommitLineRare(lineEnd, false);
    else if (platformFileWriteAt(t.file, t.end, t.line, size))
        t.end += static_cast<uint32_t>(size - TRACK_FOOTER_LENGTH);
    else
        trackFileCommitLineRare(lineEnd, true);
}

/* Leaves the file complete where the system lets it, and closes it; the
 * file is forgotten whatever the outcome. */
void trackFileClose();

#endif
