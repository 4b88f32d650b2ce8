/* The one open track file, in static storage. The file on disk is a whole
 * GPX document after every point: each point is one positioned write of its
 * line over the footer, followed by the footer again, so that a process
 * that dies between two points leaves a complete track. A write that fails,
 * or writes part of its bytes, is undone: the footer goes back over the
 * end of the last whole point and the file is cut there, so no line is ever
 * left cut. What was written is made durable (flushed to the medium) after
 * the period's first point, at the first call 5 s or more after the oldest
 * point not yet flushed, once TRACK_UNFLUSHED_MAX bytes wait, and before
 * the close; a power cut then loses at most those points, and the torn tail
 * it may leave is mended when the recorder next starts (track_repair.h). */
#ifndef RECORDER_TRACK_FILE_H
#define RECORDER_TRACK_FILE_H

#include "../contract/base.h"
#include "../platform/platform.h"

#include <string.h>

/* Longest header and point line the recorder writes. */
#define TRACK_HEADER_MAX 640
#define TRACK_LINE_MAX 400
/* Longest path of a track file, with its terminator. */
#define TRACK_PATH_MAX 336
/* Longest wait, in milliseconds, and most bytes written before a flush. A
 * mend reads the last TRACK_TAIL_WINDOW bytes of a file, which therefore
 * always reach back to a whole line that was flushed. */
#define TRACK_FLUSH_AFTER_MS 5000u
#define TRACK_UNFLUSHED_MAX 7168u
#define TRACK_TAIL_WINDOW 8192u
/* The two footer lines. */
#define TRACK_FOOTER "</trkseg></trk>\r\n</gpx>\r\n"
#define TRACK_FOOTER_LENGTH (sizeof TRACK_FOOTER - 1)
CONTRACT_STATIC_ASSERT(TRACK_UNFLUSHED_MAX + TRACK_LINE_MAX + TRACK_FOOTER_LENGTH + 2 <=
                           TRACK_TAIL_WINDOW,
                       tail_reaches_flushed_line);

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
    bool unflushed;      /* written since the last flush */
    bool aging;          /* unflushed since the call at unflushedSince */
    uint32_t unflushedSince;
    uint32_t flushedEnd; /* end at the last flush */
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
    else if (platformFileWriteAt(t.file, t.end, t.line, size)) {
        t.end += static_cast<uint32_t>(size - TRACK_FOOTER_LENGTH);
        t.unflushed = true;
    } else
        trackFileCommitLineRare(lineEnd, true);
}

/* Makes what was written durable. */
void trackFileFlush();

/* Ends each recorder call while a file is open: flushes once the oldest
 * unflushed write is 5 s old, or too many bytes wait. */
inline void trackFileCallEnds() {
    TrackFileState& t = trackFile;
    if (!t.unflushed)
        return;
    const uint32_t now = platformMonotonicMs();
    if (!t.aging) {
        t.aging = true;
        t.unflushedSince = now;
    }
    if (now - t.unflushedSince >= TRACK_FLUSH_AFTER_MS ||
        t.end - t.flushedEnd > TRACK_UNFLUSHED_MAX)
        trackFileFlush();
}

/* Leaves the file complete where the system lets it, flushes it and closes
 * it; the file is forgotten whatever the outcome. */
void trackFileClose();

#endif
