/* POSIX side of the platform layer, for the Linux builds. Events are
 * eventfds, so that a wait on several of them is one poll(). */
#include "../platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

/* Descriptors are stored off by one so that descriptor 0 is not null. */
PlatformHandle handleFromFd(int fd) {
    return reinterpret_cast<PlatformHandle>(static_cast<intptr_t>(fd) + 1);
}
int fdFromHandle(PlatformHandle h) {
    return static_cast<int>(reinterpret_cast<intptr_t>(h) - 1);
}

/* UTF-16 to UTF-8; false on an unpaired surrogate or when OUT is too small. */
bool toUtf8(const WideChar* in, char* out, size_t capacity) {
    size_t n = 0;
    for (size_t i = 0; in[i] != 0; ++i) {
        uint32_t c = in[i];
        if (c < 0x80) {
            /* Paths are mostly ASCII: one byte each. */
            if (n + 1 >= capacity)
                return false;
            out[n++] = static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t low = in[i + 1];
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        unsigned char bytes[4];
        size_t len;
        if (c < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            len = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            len = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            len = 4;
        }
        if (n + len >= capacity)
            return false;
        memcpy(out + n, bytes, len);
        n += len;
    }
    out[n] = 0;
    return true;
}

/* Room for the longest path the recorder builds, in UTF-8. */
const size_t kPathBytes = 4096;

/* UTF-8 to UTF-16; false on a malformed sequence or when OUT is too small. */
bool fromUtf8(const char* in, WideChar* out, size_t capacity) {
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p != 0;) {
        uint32_t c = *p++;
        int more = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
        if (more < 0 || c > 0xF4)
            return false;
        if (more > 0)
            c &= 0x3Fu >> more;
        for (; more > 0; --more, ++p) {
            if ((*p & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (*p & 0x3Fu);
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            return false;
        if (c >= 0x10000) {
            if (n + 2 >= capacity)
                return false;
            out[n++] = static_cast<WideChar>(0xD800 + ((c - 0x10000) >> 10));
            out[n++] = static_cast<WideChar>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            if (n + 1 >= capacity)
                return false;
            out[n++] = static_cast<WideChar>(c);
        }
    }
    out[n] = 0;
    return true;
}

/* The one folder listing: its descriptor and the entries read ahead. */
struct Listing {
    int fd;
    long filled, at;
    char buffer[8192] __attribute__((aligned(8)));
};
Listing listing;

/* One entry as the kernel hands it out. */
struct Entry64 {
    uint64_t inode;
    int64_t next;
    unsigned short length;
    unsigned char type;
    char name[1];
};

int64_t monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

void platformLocalTime(LocalTime* out) {
    time_t now = time(0);
    struct tm local;
    memset(&local, 0, sizeof local);
    localtime_r(&now, &local);
    out->year = local.tm_year + 1900;
    out->month = local.tm_mon + 1;
    out->day = local.tm_mday;
    out->hour = local.tm_hour;
    out->minute = local.tm_min;
    out->second = local.tm_sec;
}

PlatformHandle platformFileCreateNew(const WideChar* path, bool* nameTaken) {
    *nameTaken = false;
    char name[kPathBytes];
    if (!toUtf8(path, name, sizeof name) || name[0] == 0)
        return 0;
    int fd;
    do
        fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    *nameTaken = fd < 0 && errno == EEXIST;
    if (fd < 0)
        return 0;
    /* Held until the close; a new file has no other holder. */
    flock(fd, LOCK_EX | LOCK_NB);
    return handleFromFd(fd);
}

uint32_t platformMonotonicMs() {
    return static_cast<uint32_t>(monotonicMs());
}

PlatformHandle platformFileOpenForRepair(const WideChar* path) {
    char name[kPathBytes];
    if (!toUtf8(path, name, sizeof name) || name[0] == 0)
        return 0;
    /* Not through a link, and never waiting on a pipe named like a track. */
    int fd;
    do
        fd = open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return 0;
    }
    return handleFromFd(fd);
}

bool platformFileReadAt(PlatformHandle file, uint32_t offset, void* data, size_t size,
                        size_t* got) {
    char* p = static_cast<char*>(data);
    *got = 0;
    while (*got < size) {
        const ssize_t n = pread(fdFromHandle(file), p + *got, size - *got,
                                static_cast<off_t>(offset) + static_cast<off_t>(*got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        *got += static_cast<size_t>(n);
    }
    return true;
}

bool platformFileSize(PlatformHandle file, uint32_t* size) {
    struct stat st;
    if (fstat(fdFromHandle(file), &st) != 0 || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFu)
        return false;
    *size = static_cast<uint32_t>(st.st_size);
    return true;
}

bool platformFileFlush(PlatformHandle file) {
    int result;
    do
        result = fdatasync(fdFromHandle(file));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

void platformFolderSync(const WideChar* path) {
    char name[kPathBytes];
    if (!toUtf8(path, name, sizeof name))
        return;
    char* slash = strrchr(name, '/');
    if (slash == 0)
        strcpy(name, ".");
    else
        slash[slash == name ? 1 : 0] = 0;
    const int fd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    while (fsync(fd) != 0 && errno == EINTR) {
    }
    close(fd);
}

PlatformHandle platformFolderOpen(const WideChar* folder) {
    char name[kPathBytes];
    if (!toUtf8(folder, name, sizeof name))
        return 0;
    /* Entries are read straight from the kernel into static storage. */
    const int fd = open(name[0] == 0 ? "." : name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    listing.fd = fd;
    listing.filled = 0;
    listing.at = 0;
    return &listing;
}

bool platformFolderNext(PlatformHandle handle, WideChar* name, size_t capacity) {
    Listing* l = static_cast<Listing*>(handle);
    for (;;) {
        if (l->at >= l->filled) {
            l->filled = syscall(SYS_getdents64, l->fd, l->buffer, sizeof l->buffer);
            l->at = 0;
            if (l->filled <= 0)
                return false;
        }
        const Entry64* e = reinterpret_cast<const Entry64*>(l->buffer + l->at);
        l->at += e->length;
        if (fromUtf8(e->name, name, capacity))
            return true;
    }
}

void platformFolderClose(PlatformHandle handle) {
    close(static_cast<Listing*>(handle)->fd);
}

bool platformFileWriteAt(PlatformHandle file, uint32_t offset, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    off_t at = static_cast<off_t>(offset);
    if (at < 0)
        return false;
    while (size > 0) {
        const ssize_t n = pwrite(fdFromHandle(file), p, size, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool platformFileTruncate(PlatformHandle file, uint32_t size) {
    const off_t length = static_cast<off_t>(size);
    if (length < 0)
        return false;
    int result;
    do
        result = ftruncate(fdFromHandle(file), length);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

bool platformFileClose(PlatformHandle file) {
    return close(fdFromHandle(file)) == 0;
}

PlatformHandle platformLibraryLoad(const WideChar* name) {
    char file[256];
    if (!toUtf8(name, file, sizeof file - 4))
        return 0;
    size_t len = strlen(file);
    if (len >= 4 && strcasecmp(file + len - 4, ".dll") == 0)
        len -= 4;
    memcpy(file + len, ".so", 4);

    /* The executable's own folder first, as Windows searches it first. */
    char path[kPathBytes];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
        path[n] = 0;
        char* slash = strrchr(path, '/');
        if (slash != 0 && static_cast<size_t>(slash + 1 - path) + strlen(file) < sizeof path) {
            strcpy(slash + 1, file);
            void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
            if (library != 0)
                return library;
        }
    }
    return dlopen(file, RTLD_NOW | RTLD_LOCAL);
}

PlatformProc platformLibrarySymbol(PlatformHandle library, const char* name) {
    /* dlsym hands out an object pointer; copy its bits into a function
     * pointer, which POSIX guarantees to be of the same size. */
    void* symbol = dlsym(library, name);
    PlatformProc entry;
    memcpy(&entry, &symbol, sizeof entry);
    return entry;
}

void platformLibraryFree(PlatformHandle library) {
    dlclose(library);
}

PlatformHandle platformEventCreate() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd < 0 ? 0 : handleFromFd(fd);
}

void platformEventSignal(PlatformHandle event) {
    uint64_t one = 1;
    ssize_t n;
    do
        n = write(fdFromHandle(event), &one, sizeof one);
    while (n < 0 && errno == EINTR);
}

void platformEventClose(PlatformHandle event) {
    close(fdFromHandle(event));
}

uint32_t platformWaitAny(const PlatformHandle* events, uint32_t count, uint32_t timeoutMs) {
    if (count == 0 || count > PLATFORM_MAX_WAIT_HANDLES)
        return PLATFORM_WAIT_FAILED;
    struct pollfd fds[PLATFORM_MAX_WAIT_HANDLES];
    for (uint32_t i = 0; i < count; ++i) {
        fds[i].fd = fdFromHandle(events[i]);
        fds[i].events = POLLIN;
    }
    const int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (timeoutMs != PLATFORM_WAIT_FOREVER) {
            int64_t left = deadline - monotonicMs();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        for (uint32_t i = 0; i < count; ++i)
            fds[i].revents = 0;
        int ready = poll(fds, count, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return PLATFORM_WAIT_FAILED;
        if (ready == 0)
            return PLATFORM_WAIT_TIMEOUT;
        for (uint32_t i = 0; i < count; ++i) {
            if (fds[i].revents & (POLLERR | POLLNVAL))
                return PLATFORM_WAIT_FAILED;
            if (fds[i].revents & POLLIN) {
                /* Reading resets the event; another waiter may have done
                 * it first, and then this one waits on. */
                uint64_t value;
                if (read(fds[i].fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value))
                    return i;
            }
        }
    }
}

void platformSleep(uint32_t milliseconds) {
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void platformYield() {
    sched_yield();
}

PlatformHandle platformThreadStart(PlatformThreadProc proc, void* parameter, uint32_t* id) {
    static volatile int32_t lastId = 0;
    pthread_t thread;
    if (pthread_create(&thread, 0, proc, parameter) != 0)
        return 0;
    *id = static_cast<uint32_t>(__atomic_add_fetch(&lastId, 1, __ATOMIC_RELAXED));
    return reinterpret_cast<PlatformHandle>(thread);
}

void platformThreadJoin(PlatformHandle thread) {
    pthread_join(reinterpret_cast<pthread_t>(thread), 0);
}
