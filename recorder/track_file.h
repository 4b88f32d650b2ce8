/* The one open track file and its write buffer, in static storage. Output
 * is buffered and reaches the file when the buffer fills and at close, not
 * after each point. */
#ifndef RECORDER_TRACK_FILE_H
#define RECORDER_TRACK_FILE_H

#include "../contract/base.h"

/* Size of the static write buffer. */
#define TRACK_BUFFER_SIZE 8192

/* Creates (truncating) the file at PATH; false when it cannot be created. */
bool trackFileOpen(const WideChar* path);
bool trackFileIsOpen();
/* Appends SIZE bytes. A failing write drops what it could not write and
 * the file carries on: a write error is not reported to the host. */
void trackFileAppend(const char* data, size_t size);
/* Room for SIZE bytes (at most TRACK_BUFFER_SIZE) straight in the write
 * buffer, writing out what is buffered first when it lacks the room; null
 * when no file is open. The bytes count once trackFileCommit is given the
 * end of what was written there; nothing else may come in between. */
char* trackFileReserve(size_t size);
void trackFileCommit(const char* end);
/* Writes out what is buffered and closes the file; the file is forgotten
 * whatever the outcome. */
void trackFileClose();

#endif
