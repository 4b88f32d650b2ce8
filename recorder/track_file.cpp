#include "track_file.h"

#include "../platform/platform.h"

#include <string.h>

namespace {

PlatformHandle file;
char buffer[TRACK_BUFFER_SIZE];
size_t buffered;

void flush() {
    if (buffered > 0)
        platformFileWrite(file, buffer, buffered);
    buffered = 0;
}

} // namespace

bool trackFileOpen(const WideChar* path) {
    file = platformFileCreate(path);
    buffered = 0;
    return file != 0;
}

bool trackFileIsOpen() {
    return file != 0;
}

void trackFileAppend(const char* data, size_t size) {
    if (file == 0)
        return;
    if (buffered + size > sizeof buffer) {
        flush();
        if (size > sizeof buffer) {
            platformFileWrite(file, data, size);
            return;
        }
    }
    memcpy(buffer + buffered, data, size);
    buffered += size;
}

char* trackFileReserve(size_t size) {
    if (file == 0)
        return 0;
    if (buffered + size > sizeof buffer)
        flush();
    return buffer + buffered;
}

void trackFileCommit(const char* end) {
    buffered = static_cast<size_t>(end - buffer);
}

void trackFileClose() {
    if (file == 0)
        return;
    flush();
    platformFileClose(file);
    file = 0;
}
