/* Fault-injection build of the platform layer, for test builds of the
 * plugins only. The system side is compiled in below under other names, and
 * each platform call here counts itself, fails when a test has armed a
 * fault for it, and otherwise passes on to the system side, keeping a table
 * of the handles it handed out. Control entries are in faults.h. */
#include "platform.h"

#include "faults.h"

#include "../contract/plugin.h"

#include <string.h>

#if !defined(__GNUC__) && !defined(__clang__)
#error "the fault-injection build needs the GCC atomic builtins"
#endif

/* The system side, under the names system*. */
#define platformLocalTime systemLocalTime
#define platformFileCreateNew systemFileCreateNew
#define platformFolderClose systemFolderClose
#define platformFolderNext systemFolderNext
#define platformFolderOpen systemFolderOpen
#define platformFolderSync systemFolderSync
#define platformFileFlush systemFileFlush
#define platformFileSize systemFileSize
#define platformFileReadAt systemFileReadAt
#define platformFileOpenForRepair systemFileOpenForRepair
#define platformMonotonicMs systemMonotonicMs
#define platformFileWriteAt systemFileWriteAt
#define platformFileTruncate systemFileTruncate
#define platformFileClose systemFileClose
#define platformLibraryLoad systemLibraryLoad
#define platformLibrarySymbol systemLibrarySymbol
#define platformLibraryFree systemLibraryFree
#define platformEventCreate systemEventCreate
#define platformEventSignal systemEventSignal
#define platformEventClose systemEventClose
#define platformWaitAny systemWaitAny
#define platformSleep systemSleep
#define platformYield systemYield
#define platformThreadStart systemThreadStart
#define platformThreadJoin systemThreadJoin
#if defined(_WIN32)
#include "win/platform_win.cpp"
#else
#include "posix/platform_posix.cpp"
#endif
#undef platformLocalTime
#undef platformFileCreateNew
#undef platformFolderClose
#undef platformFolderNext
#undef platformFolderOpen
#undef platformFolderSync
#undef platformFileFlush
#undef platformFileSize
#undef platformFileReadAt
#undef platformFileOpenForRepair
#undef platformMonotonicMs
#undef platformFileWriteAt
#undef platformFileTruncate
#undef platformFileClose
#undef platformLibraryLoad
#undef platformLibrarySymbol
#undef platformLibraryFree
#undef platformEventCreate
#undef platformEventSignal
#undef platformEventClose
#undef platformWaitAny
#undef platformSleep
#undef platformYield
#undef platformThreadStart
#undef platformThreadJoin

#include "atomic.h"

namespace {

int32_t atomicAdd(volatile int32_t* p, int32_t delta) {
    return __atomic_add_fetch(p, delta, __ATOMIC_ACQ_REL);
}

/* ---- Armed faults ---- */

struct Plan {
    volatile int32_t calls;    /* calls since the last reset */
    volatile int32_t injected; /* failures handed out since the last reset */
    volatile int32_t base;     /* calls at the moment of arming */
    volatile int32_t first;    /* 0: nothing armed */
    volatile int32_t count;
};
Plan plans[FAULT_KIND_COUNT];

/* Counts one call of KIND; true when this call is to fail. */
bool shouldFail(PlatformFaultKind kind) {
    Plan& p = plans[kind];
    const int32_t n = atomicAdd(&p.calls, 1) - atomicLoadAcquire(&p.base);
    const int32_t first = atomicLoadAcquire(&p.first);
    const int32_t count = atomicLoadAcquire(&p.count);
    if (first <= 0 || n < first || n - first >= count)
        return false;
    atomicAdd(&p.injected, 1);
    return true;
}

/* ---- Handles handed out ---- */

enum HandleClass { FILES, LIBRARIES, EVENTS, THREADS, HANDLE_CLASS_COUNT };

const int kTableSize = 64;
SpinLock tableLock;
PlatformHandle live[HANDLE_CLASS_COUNT][kTableSize];
volatile int32_t liveCount[HANDLE_CLASS_COUNT];
volatile int32_t badHandles;

void track(HandleClass c, PlatformHandle h) {
    spinLockAcquire(&tableLock);
    int i = 0;
    while (i < kTableSize && live[c][i] != 0)
        ++i;
    if (i < kTableSize) {
        live[c][i] = h;
        atomicAdd(&liveCount[c], 1);
    } else {
        /* More open handles than any plugin should hold: a leak. */
        atomicAdd(&badHandles, 1);
    }
    spinLockRelease(&tableLock);
}

/* Finds H among the open handles of class C; REMOVE forgets it. A handle
 * that is not there counts as a bad one. */
bool findHandle(HandleClass c, PlatformHandle h, bool remove) {
    bool found = false;
    spinLockAcquire(&tableLock);
    for (int i = 0; h != 0 && i < kTableSize; ++i) {
        if (live[c][i] == h) {
            found = true;
            if (remove) {
                live[c][i] = 0;
                atomicAdd(&liveCount[c], -1);
            }
            break;
        }
    }
    spinLockRelease(&tableLock);
    if (!found)
        atomicAdd(&badHandles, 1);
    return found;
}

/* ---- The release journal ---- */

volatile int32_t releaseCount;
volatile int32_t releases[FAULT_RELEASE_JOURNAL_SIZE];

void journal(PlatformRelease what) {
    const int32_t i = atomicAdd(&releaseCount, 1) - 1;
    if (i < FAULT_RELEASE_JOURNAL_SIZE)
        atomicStoreRelease(&releases[i], what);
}

/* ---- The file journal ---- */

PlatformFileJournal fileJournal;
volatile int32_t filesCreated;
/* The journal's number of each open file handed out by creation; 0 for
 * files opened otherwise. */
PlatformHandle journaled[kTableSize];
int32_t journaledNumber[kTableSize];

int32_t journalNumberOf(PlatformHandle file) {
    for (int i = 0; i < kTableSize; ++i) {
        if (journaled[i] == file)
            return journaledNumber[i];
    }
    return 0;
}

/* Notes OP on FILE (a created one only), with SIZE bytes of DATA. */
void journalFile(PlatformJournalOp op, PlatformHandle file, uint32_t offset, const void* data,
                 uint32_t size) {
    spinLockAcquire(&tableLock);
    const int32_t number = journalNumberOf(file);
    PlatformFileJournal& j = fileJournal;
    if (number != 0 && (j.count >= FAULT_JOURNAL_ENTRIES || size > FAULT_JOURNAL_DATA - j.dataUsed))
        j.overflowed = 1;
    else if (number != 0) {
        PlatformJournalEntry& e = j.entries[j.count++];
        e.op = op;
        e.file = number;
        e.offset = offset;
        e.size = size;
        e.data = j.dataUsed;
        if (size > 0)
            memcpy(j.data + j.dataUsed, data, size);
        j.dataUsed += size;
    }
    if (op == FILE_JOURNAL_CLOSE) {
        for (int i = 0; i < kTableSize; ++i) {
            if (journaled[i] == file)
                journaled[i] = 0;
        }
    }
    spinLockRelease(&tableLock);
}

void journalCreated(PlatformHandle file) {
    spinLockAcquire(&tableLock);
    for (int i = 0; i < kTableSize; ++i) {
        if (journaled[i] == 0) {
            journaled[i] = file;
            journaledNumber[i] = atomicAdd(&filesCreated, 1);
            break;
        }
    }
    spinLockRelease(&tableLock);
    journalFile(FILE_JOURNAL_CREATE, file, 0, 0, 0);
}

volatile int32_t clockSimulated;
volatile uint32_t clockNow;

} // namespace

/* ---- The platform calls ---- */

void platformLocalTime(LocalTime* out) {
    systemLocalTime(out);
}

uint32_t platformMonotonicMs() {
    if (atomicLoadAcquire(&clockSimulated))
        return __atomic_load_n(&clockNow, __ATOMIC_ACQUIRE);
    return systemMonotonicMs();
}

PlatformHandle platformFileCreateNew(const WideChar* path, bool* nameTaken) {
    if (shouldFail(FAULT_FILE_CREATE)) {
        *nameTaken = false;
        return 0;
    }
    PlatformHandle file = systemFileCreateNew(path, nameTaken);
    if (file != 0) {
        track(FILES, file);
        journalCreated(file);
    }
    return file;
}

PlatformHandle platformFileOpenForRepair(const WideChar* path) {
    PlatformHandle file = systemFileOpenForRepair(path);
    if (file != 0)
        track(FILES, file);
    return file;
}

bool platformFileReadAt(PlatformHandle file, uint32_t offset, void* data, size_t size,
                        size_t* got) {
    *got = 0;
    return findHandle(FILES, file, false) && systemFileReadAt(file, offset, data, size, got);
}

bool platformFileSize(PlatformHandle file, uint32_t* size) {
    return findHandle(FILES, file, false) && systemFileSize(file, size);
}

bool platformFileFlush(PlatformHandle file) {
    if (shouldFail(FAULT_FILE_FLUSH) || !findHandle(FILES, file, false))
        return false;
    const bool flushed = systemFileFlush(file);
    if (flushed)
        journalFile(FILE_JOURNAL_FLUSH, file, 0, 0, 0);
    return flushed;
}

void platformFolderSync(const WideChar* path) {
    systemFolderSync(path);
    /* Only the POSIX side has a folder to sync. */
#if !defined(_WIN32)
    spinLockAcquire(&tableLock);
    PlatformHandle last = 0;
    for (int i = 0; i < kTableSize; ++i) {
        if (journaled[i] != 0 && journaledNumber[i] == filesCreated)
            last = journaled[i];
    }
    spinLockRelease(&tableLock);
    if (last != 0)
        journalFile(FILE_JOURNAL_FOLDER_SYNC, last, 0, 0, 0);
#endif
}

PlatformHandle platformFolderOpen(const WideChar* folder) {
    return systemFolderOpen(folder);
}

bool platformFolderNext(PlatformHandle listing, WideChar* name, size_t capacity) {
    return systemFolderNext(listing, name, capacity);
}

void platformFolderClose(PlatformHandle listing) {
    systemFolderClose(listing);
}

bool platformFileWriteAt(PlatformHandle file, uint32_t offset, const void* data, size_t size) {
    const bool fail = shouldFail(FAULT_FILE_WRITE);
    const bool partial = shouldFail(FAULT_FILE_WRITE_PARTIAL);
    /* A handle that is not open may by now be someone else's file. */
    if (fail || !findHandle(FILES, file, false))
        return false;
    if (partial) {
        if (systemFileWriteAt(file, offset, data, (size + 1) / 2))
            journalFile(FILE_JOURNAL_WRITE, file, offset, data,
                        static_cast<uint32_t>((size + 1) / 2));
        return false;
    }
    const bool written = systemFileWriteAt(file, offset, data, size);
    if (written)
        journalFile(FILE_JOURNAL_WRITE, file, offset, data, static_cast<uint32_t>(size));
    return written;
}

bool platformFileTruncate(PlatformHandle file, uint32_t size) {
    if (shouldFail(FAULT_FILE_TRUNCATE) || !findHandle(FILES, file, false))
        return false;
    const bool cut = systemFileTruncate(file, size);
    if (cut)
        journalFile(FILE_JOURNAL_TRUNCATE, file, size, 0, 0);
    return cut;
}

bool platformFileClose(PlatformHandle file) {
    const bool fail = shouldFail(FAULT_FILE_CLOSE);
    if (!findHandle(FILES, file, true))
        return false;
    journalFile(FILE_JOURNAL_CLOSE, file, 0, 0, 0);
    /* A failed close still releases the handle, as the systems do. */
    const bool closed = systemFileClose(file);
    return closed && !fail;
}

PlatformHandle platformLibraryLoad(const WideChar* name) {
    if (shouldFail(FAULT_LIBRARY_LOAD))
        return 0;
    PlatformHandle library = systemLibraryLoad(name);
    if (library != 0)
        track(LIBRARIES, library);
    return library;
}

PlatformProc platformLibrarySymbol(PlatformHandle library, const char* name) {
    if (shouldFail(FAULT_LIBRARY_SYMBOL))
        return 0;
    if (!findHandle(LIBRARIES, library, false))
        return 0;
    return systemLibrarySymbol(library, name);
}

void platformLibraryFree(PlatformHandle library) {
    if (findHandle(LIBRARIES, library, true)) {
        journal(RELEASE_LIBRARY_FREE);
        systemLibraryFree(library);
    }
}

PlatformHandle platformEventCreate() {
    if (shouldFail(FAULT_EVENT_CREATE))
        return 0;
    PlatformHandle event = systemEventCreate();
    if (event != 0)
        track(EVENTS, event);
    return event;
}

void platformEventSignal(PlatformHandle event) {
    if (findHandle(EVENTS, event, false))
        systemEventSignal(event);
}

void platformEventClose(PlatformHandle event) {
    if (findHandle(EVENTS, event, true)) {
        journal(RELEASE_EVENT_CLOSE);
        systemEventClose(event);
    }
}

uint32_t platformWaitAny(const PlatformHandle* events, uint32_t count, uint32_t timeoutMs) {
    if (shouldFail(FAULT_WAIT))
        return PLATFORM_WAIT_FAILED;
    for (uint32_t i = 0; i < count && i < PLATFORM_MAX_WAIT_HANDLES; ++i) {
        if (!findHandle(EVENTS, events[i], false))
            return PLATFORM_WAIT_FAILED;
    }
    return systemWaitAny(events, count, timeoutMs);
}

void platformSleep(uint32_t milliseconds) {
    systemSleep(milliseconds);
}

void platformYield() {
    systemYield();
}

PlatformHandle platformThreadStart(PlatformThreadProc proc, void* parameter, uint32_t* id) {
    if (shouldFail(FAULT_THREAD_START))
        return 0;
    PlatformHandle thread = systemThreadStart(proc, parameter, id);
    if (thread != 0)
        track(THREADS, thread);
    return thread;
}

void platformThreadJoin(PlatformHandle thread) {
    if (findHandle(THREADS, thread, true)) {
        systemThreadJoin(thread);
        journal(RELEASE_THREAD_JOIN);
    }
}

/* ---- Control entries ---- */

PLUGIN_EXPORT void PLUGIN_CALL platformFaultsReset(void) {
    for (int k = 0; k < FAULT_KIND_COUNT; ++k) {
        atomicStoreRelease(&plans[k].first, 0);
        atomicStoreRelease(&plans[k].count, 0);
        atomicStoreRelease(&plans[k].base, 0);
        atomicStoreRelease(&plans[k].calls, 0);
        atomicStoreRelease(&plans[k].injected, 0);
    }
    atomicStoreRelease(&badHandles, 0);
    atomicStoreRelease(&releaseCount, 0);
}

PLUGIN_EXPORT void PLUGIN_CALL platformFaultsArm(int32_t kind, int32_t first, int32_t count) {
    if (kind < 0 || kind >= FAULT_KIND_COUNT)
        return;
    Plan& p = plans[kind];
    atomicStoreRelease(&p.first, 0);
    atomicStoreRelease(&p.base, atomicLoadAcquire(&p.calls));
    atomicStoreRelease(&p.count, count);
    atomicStoreRelease(&p.first, first);
}

PLUGIN_EXPORT void PLUGIN_CALL platformFaultsRead(PlatformFaultCounters* out) {
    for (int k = 0; k < FAULT_KIND_COUNT; ++k) {
        out->calls[k] = atomicLoadAcquire(&plans[k].calls);
        out->injected[k] = atomicLoadAcquire(&plans[k].injected);
    }
    out->openFiles = atomicLoadAcquire(&liveCount[FILES]);
    out->openLibraries = atomicLoadAcquire(&liveCount[LIBRARIES]);
    out->openEvents = atomicLoadAcquire(&liveCount[EVENTS]);
    out->runningThreads = atomicLoadAcquire(&liveCount[THREADS]);
    out->badHandles = atomicLoadAcquire(&badHandles);
    out->releaseCount = atomicLoadAcquire(&releaseCount);
    for (int i = 0; i < FAULT_RELEASE_JOURNAL_SIZE; ++i)
        out->releases[i] = atomicLoadAcquire(&releases[i]);
}

PLUGIN_EXPORT const PlatformFileJournal* PLUGIN_CALL platformFaultsJournal(void) {
    return &fileJournal;
}

PLUGIN_EXPORT void PLUGIN_CALL platformFaultsJournalClear(void) {
    spinLockAcquire(&tableLock);
    fileJournal.count = 0;
    fileJournal.dataUsed = 0;
    fileJournal.overflowed = 0;
    spinLockRelease(&tableLock);
}

PLUGIN_EXPORT void PLUGIN_CALL platformFaultsClock(int32_t simulated, uint32_t nowMs) {
    __atomic_store_n(&clockNow, nowMs, __ATOMIC_RELEASE);
    atomicStoreRelease(&clockSimulated, simulated);
}
