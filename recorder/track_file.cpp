#include "track_file.h"

#include "../internal/wide_string.h"
#include "../platform/platform.h"

#include <string.h>

TrackFileState trackFile;

namespace {

const char kFooter[] = TRACK_FOOTER;
const size_t kFooterLength = TRACK_FOOTER_LENGTH;

/* The header, then room for one line and the footer: a point's write is one
 * contiguous run of this, starting at the line once the header is on disk. */
char area[TRACK_HEADER_MAX + TRACK_LINE_MAX + TRACK_FOOTER_LENGTH];
bool headerOnDisk;
bool footerOnDisk;
/* A cut back to the last whole point (and its footer) that the system
 * refused; nothing is written before it has been made. */
bool cutPending;
/* The open file's path, for the sync of its folder after the first point. */
WideChar openPath[TRACK_PATH_MAX];

void settle() {
    trackFile.steady = headerOnDisk && footerOnDisk && !cutPending;
}

/* Cuts the file after the last whole point, or after its footer when that
 * is known to be on disk. */
bool cutBack() {
    const uint32_t size = trackFile.end + (footerOnDisk ? kFooterLength : 0);
    cutPending = !platformFileTruncate(trackFile.file, size);
    trackFile.unflushed = true;
    settle();
    return !cutPending;
}

/* Writes the header if the file lacks it, LENGTH bytes of line and the
 * footer at the end of the last whole point. On failure the file may hold
 * part of these bytes. */
bool writeAtEnd(size_t length) {
    char* const at = trackFile.line;
    memcpy(at + length, kFooter, kFooterLength);
    const char* const from = headerOnDisk ? at : area;
    const size_t size = static_cast<size_t>(at + length + kFooterLength - from);
    if (size > 0xFFFFFFFFu - trackFile.end)
        return false;
    const bool written = platformFileWriteAt(trackFile.file, trackFile.end, from, size);
    trackFile.unflushed = true;
    if (!written)
        return false;
    trackFile.end += static_cast<uint32_t>(size - kFooterLength);
    footerOnDisk = true;
    if (!headerOnDisk) {
        /* A new track survives a power cut from its first point on. */
        headerOnDisk = true;
        trackFileFlush();
        platformFolderSync(openPath);
    }
    settle();
    return true;
}

/* After a failed write: puts the footer back where it was (space the file
 * already had) and cuts off whatever the write left beyond it. Where the
 * footer cannot be written either, the file ends after its last whole point
 * and the next point or the close writes the footer. */
void undoFailedWrite() {
    footerOnDisk = writeAtEnd(0);
    cutBack();
}

} // namespace

bool trackFileCreate(const WideChar* path, const char* header, size_t size, bool* nameTaken) {
    trackFile.file = platformFileCreateNew(path, nameTaken);
    if (trackFile.file == 0)
        return false;
    memcpy(area, header, size);
    trackFile.line = area + size;
    trackFile.end = 0;
    trackFile.unflushed = false;
    trackFile.aging = false;
    trackFile.flushedEnd = 0;
    wideCopyBounded(openPath, TRACK_PATH_MAX, path);
    headerOnDisk = false;
    footerOnDisk = false;
    cutPending = false;
    settle();
    return true;
}

void trackFileCommitLineRare(const char* lineEnd, bool writeFailed) {
    if (!writeFailed) {
        if (cutPending && !cutBack())
            return;
        if (writeAtEnd(static_cast<size_t>(lineEnd - trackFile.line)))
            return;
    }
    undoFailedWrite();
}

void trackFileFlush() {
    platformFileFlush(trackFile.file);
    trackFile.unflushed = false;
    trackFile.aging = false;
    trackFile.flushedEnd = trackFile.end;
}

void trackFileClose() {
    if (trackFile.file == 0)
        return;
    if (!cutPending || cutBack()) {
        if (!footerOnDisk && !writeAtEnd(0))
            cutBack();
    }
    if (trackFile.unflushed)
        trackFileFlush();
    platformFileClose(trackFile.file);
    trackFile.file = 0;
    trackFile.line = 0;
}
