#include "track_file.h"

#include "../platform/platform.h"

#include <string.h>

char* trackFileLineAt;

namespace {

const char kFooter[] = "</trkseg></trk>\r\n</gpx>\r\n";
const size_t kFooterLength = sizeof kFooter - 1;

PlatformHandle file;
/* The header, then room for one line and the footer: a point's write is one
 * contiguous run of this, starting at the line once the header is on disk. */
char area[TRACK_HEADER_MAX + TRACK_LINE_MAX + kFooterLength];
size_t headerSize;
/* Bytes of the header and whole points on disk: where the footer goes. */
uint32_t end;
bool headerOnDisk;
bool footerOnDisk;
/* A cut back to the last whole point (and its footer) that the system
 * refused; nothing is written before it has been made. */
bool cutPending;

char* line() {
    return area + headerSize;
}

/* Cuts the file after the last whole point, or after its footer when that
 * is known to be on disk. */
bool cutBack() {
    const uint32_t size = end + (footerOnDisk ? kFooterLength : 0);
    cutPending = !platformFileTruncate(file, size);
    return !cutPending;
}

/* Writes the header if the file lacks it, LENGTH bytes of line and the
 * footer at the end of the last whole point. On failure the file may hold
 * part of these bytes. */
bool writeAtEnd(size_t length) {
    char* const at = line();
    memcpy(at + length, kFooter, kFooterLength);
    const char* const from = headerOnDisk ? at : area;
    const size_t size = static_cast<size_t>(at + length + kFooterLength - from);
    /* Offsets are 32-bit: a track stops growing before 4 GiB. */
    if (size > 0xFFFFFFFFu - end || !platformFileWriteAt(file, end, from, size))
        return false;
    end += static_cast<uint32_t>(size - kFooterLength);
    headerOnDisk = true;
    footerOnDisk = true;
    return true;
}

/* After a failed write: puts the footer back where it was (space the file
 * already had) and cuts off whatever the write left beyond it. Where the
 * footer cannot be written either, the file ends after its last whole point
 * and the next point or the close writes the footer. */
void undoFailedWrite() {
    footerOnDisk = false;
    footerOnDisk = writeAtEnd(0);
    cutBack();
}

} // namespace

bool trackFileCreate(const WideChar* path, const char* header, size_t size, bool* nameTaken) {
    file = platformFileCreateNew(path, nameTaken);
    if (file == 0)
        return false;
    memcpy(area, header, size);
    headerSize = size;
    trackFileLineAt = line();
    end = 0;
    headerOnDisk = false;
    footerOnDisk = false;
    cutPending = false;
    return true;
}

void trackFileCommitLine(const char* lineEnd) {
    if (cutPending && !cutBack())
        return;
    if (!writeAtEnd(static_cast<size_t>(lineEnd - line())))
        undoFailedWrite();
}

void trackFileClose() {
    if (file == 0)
        return;
    if (!cutPending || cutBack()) {
        if (!footerOnDisk && !writeAtEnd(0))
            cutBack();
    }
    platformFileClose(file);
    file = 0;
    trackFileLineAt = 0;
}
