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

/* Longest header and point line the recorder writes. */
#define TRACK_HEADER_MAX 640
#define TRACK_LINE_MAX 400

/* Creates the file at PATH, only where no file of that name exists; HEADER
 * (SIZE bytes, at most TRACK_HEADER_MAX) goes out with the first point.
 * False when the file cannot be created, *nameTaken telling whether the
 * name exists. */
bool trackFileCreate(const WideChar* path, const char* header, size_t size, bool* nameTaken);
/* Where the next point's line (at most TRACK_LINE_MAX bytes) is built; null
 * when no file is open. Read inline: every point asks. */
extern char* trackFileLineAt;
inline char* trackFileLine() {
    return trackFileLineAt;
}
/* Writes the line that ends at END: header when the file lacks it, line
 * and footer, in one write at the end of the last whole point. A point that
 * cannot be written is dropped and the file kept whole. */
void trackFileCommitLine(const char* end);
/* Leaves the file complete where the system lets it, and closes it; the
 * file is forgotten whatever the outcome. */
void trackFileClose();

#endif
