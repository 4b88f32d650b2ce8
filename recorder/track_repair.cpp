#include "track_repair.h"

#include "../internal/wide_string.h"
#include "../platform/platform.h"
#include "track_file.h"
#include "track_header.h"

#include <string.h>

namespace {

const char kFooter[] = TRACK_FOOTER;
const size_t kFooterLength = TRACK_FOOTER_LENGTH;

/* The header a file of its name must begin with, and what was read. */
char header[TRACK_HEADER_MAX];
char tail[TRACK_TAIL_WINDOW];
WideChar path[TRACK_PATH_MAX];
WideChar entry[TRACK_PATH_MAX];

bool isSeparator(WideChar c) {
#if defined(_WIN32)
    return c == '\\' || c == '/' || c == ':';
#else
    return c == '/';
#endif
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

/* A point line as the recorder writes it, '\1' for a number with six
 * decimals and '\2' for a whole number, each maybe negative. */
const char kPointPattern[] =
    "<trkpt lon=\"\1\" lat=\"\1\"><time>\2-\2-\2T\2:\2:\2Z</time><type>MWP</type>"
    "<ele>\1</ele><hdop>\1</hdop></trkpt>\r\n";

/* Skips a number at P (before END); null when there is none. */
const char* skipNumber(const char* p, const char* end, bool decimals) {
    if (p < end && *p == '-')
        ++p;
    const char* digits = p;
    while (p < end && isDigit(*p))
        ++p;
    if (p == digits)
        return 0;
    if (!decimals)
        return p;
    if (end - p < 7 || *p != '.')
        return 0;
    for (int i = 1; i <= 6; ++i) {
        if (!isDigit(p[i]))
            return 0;
    }
    return p + 7;
}

/* Length of the whole point line at P, 0 when there is none. */
size_t pointLineLength(const char* p, const char* end) {
    const char* const start = p;
    for (const char* q = kPointPattern; *q != 0; ++q) {
        if (*q == '\1' || *q == '\2') {
            p = skipNumber(p, end, *q == '\1');
            if (p == 0)
                return 0;
        } else if (p == end || *p++ != *q) {
            return 0;
        }
    }
    return static_cast<size_t>(p - start);
}

/* Writes the footer at CUT, ends the file there and makes it durable. */
void endAt(PlatformHandle file, uint32_t cut, const char* before, size_t beforeLength) {
    if (beforeLength > 0 && !platformFileWriteAt(file, 0, before, beforeLength))
        return;
    if (platformFileWriteAt(file, cut, kFooter, kFooterLength) &&
        platformFileTruncate(file, cut + static_cast<uint32_t>(kFooterLength)))
        platformFileFlush(file);
}

/* A file whose header was torn: a part of the header, then nothing or
 * zeros. It becomes the empty track of its name; anything else is not the
 * recorder's and stays as it is. */
void mendTornHeader(PlatformHandle file, uint32_t size, size_t headerLength) {
    size_t got;
    if (size > sizeof tail || !platformFileReadAt(file, 0, tail, size, &got) || got != size)
        return;
    size_t same = 0;
    while (same < got && same < headerLength && tail[same] == header[same])
        ++same;
    for (size_t i = same; i < got; ++i) {
        if (tail[i] != 0)
            return;
    }
    endAt(file, static_cast<uint32_t>(headerLength), header, headerLength);
}

/* Mends the open file FILE, named after T, when it is torn. */
void mend(PlatformHandle file, const LocalTime& t) {
    uint32_t size;
    if (!platformFileSize(file, &size))
        return;
    const size_t headerLength = buildTrackHeader(header, t);
    size_t got;
    if (size < headerLength || !platformFileReadAt(file, 0, tail, headerLength, &got) ||
        got != headerLength || memcmp(tail, header, headerLength) != 0) {
        mendTornHeader(file, size, headerLength);
        return;
    }
    /* The last bytes: from the header on, or from the first line end of a
     * window that reaches back into what was last flushed. */
    const uint32_t from = size - headerLength > sizeof tail ? size - sizeof tail
                                                            : static_cast<uint32_t>(headerLength);
    if (!platformFileReadAt(file, from, tail, size - from, &got) || got != size - from)
        return;
    const char* const end = tail + got;
    const char* p = tail;
    if (from != headerLength) {
        while (p + 1 < end && (p[0] != '\r' || p[1] != '\n'))
            ++p;
        if (p + 1 >= end)
            return;
        p += 2;
    }
    for (size_t n; (n = pointLineLength(p, end)) != 0;)
        p += n;
    if (static_cast<size_t>(end - p) == kFooterLength && memcmp(p, kFooter, kFooterLength) == 0)
        return;
    endAt(file, from + static_cast<uint32_t>(p - tail), 0, 0);
}

} // namespace

void repairTracks(const WideChar* tracksPath) {
    /* The folder, up to the prefix's last part. */
    size_t folderLength = 0;
    const size_t length = wideLength(tracksPath);
    for (size_t i = 0; i < length; ++i) {
        if (isSeparator(tracksPath[i]))
            folderLength = i + 1;
    }
    const WideChar* const prefix = tracksPath + folderLength;
    const size_t prefixLength = length - folderLength;
    if (length + TRACK_FILE_NAME_MAX >= TRACK_PATH_MAX)
        return;
    memcpy(path, tracksPath, folderLength * sizeof(WideChar));
    path[folderLength] = 0;
    PlatformHandle listing = platformFolderOpen(path);
    if (listing == 0)
        return;
    while (platformFolderNext(listing, entry, TRACK_PATH_MAX - folderLength)) {
        LocalTime t;
        if (memcmp(entry, prefix, prefixLength * sizeof(WideChar)) != 0 ||
            !readTrackFileName(entry + prefixLength, &t))
            continue;
        wideCopyBounded(path + folderLength, TRACK_PATH_MAX - folderLength, entry);
        PlatformHandle file = platformFileOpenForRepair(path);
        if (file == 0)
            continue;
        mend(file, t);
        platformFileClose(file);
    }
    platformFolderClose(listing);
}
