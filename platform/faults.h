/* Control interface of the fault-injection build of the platform layer.
 * Plugin libraries built with it (the *_faults targets) export these entries
 * beside pluginPreInitMethod; tests resolve them by name from the loaded
 * library. Each platform call of a kind can be made to fail on chosen calls,
 * and every handle the layer hands out is tracked until it is released, so
 * that a test can see leaks and releases or uses of a handle that is not
 * open. The deliverables never contain any of this. */
#ifndef PLATFORM_FAULTS_H
#define PLATFORM_FAULTS_H

#include "../contract/base.h"

/* Kinds of platform calls that can be made to fail. */
enum PlatformFaultKind {
    FAULT_FILE_CREATE = 0,    /* platformFileCreateNew returns null, creates nothing */
    FAULT_FILE_WRITE = 1,     /* platformFileWriteAt writes nothing and returns false */
    FAULT_FILE_CLOSE = 2,     /* platformFileClose releases the file, returns false */
    FAULT_LIBRARY_LOAD = 3,   /* platformLibraryLoad returns null */
    FAULT_LIBRARY_SYMBOL = 4, /* platformLibrarySymbol returns null */
    FAULT_EVENT_CREATE = 5,   /* platformEventCreate returns null */
    FAULT_THREAD_START = 6,   /* platformThreadStart returns null, starts nothing */
    FAULT_WAIT = 7,           /* platformWaitAny returns PLATFORM_WAIT_FAILED */
    /* platformFileWriteAt writes the first half of its bytes (at least one)
     * and returns false, as a disk that fills during the write does. Counts
     * every write, as FAULT_FILE_WRITE does; that one wins when both fire. */
    FAULT_FILE_WRITE_PARTIAL = 8,
    FAULT_FILE_TRUNCATE = 9, /* platformFileTruncate changes nothing, returns false */
    FAULT_FILE_FLUSH = 10,   /* platformFileFlush makes nothing durable, returns false */
    FAULT_KIND_COUNT = 11
};

/* Releases, as the journal in PlatformFaultCounters records them. */
enum PlatformRelease { RELEASE_THREAD_JOIN = 1, RELEASE_LIBRARY_FREE = 2, RELEASE_EVENT_CLOSE = 3 };
#define FAULT_RELEASE_JOURNAL_SIZE 16

/* A count of calls meaning "every call from then on". */
#define FAULT_FOREVER 0x7FFFFFFF

struct PlatformFaultCounters {
    int32_t calls[FAULT_KIND_COUNT];    /* calls of each kind since the last reset */
    int32_t injected[FAULT_KIND_COUNT]; /* of these, the ones made to fail */
    /* Handles handed out and not yet released, whatever the resets. */
    int32_t openFiles;
    int32_t openLibraries;
    int32_t openEvents;
    int32_t runningThreads; /* started and not yet joined */
    /* Releases or uses of a handle that the layer did not hand out or has
     * already seen released (a double close, a use after close). */
    int32_t badHandles;
    /* Thread joins, library frees and event closes since the last reset,
     * in the order they happened (the first FAULT_RELEASE_JOURNAL_SIZE). */
    int32_t releaseCount;
    int32_t releases[FAULT_RELEASE_JOURNAL_SIZE];
};

/* What happened to the files the layer created, in order, for tests that
 * rebuild what a power cut could leave of them. Writes keep their bytes. */
enum PlatformJournalOp {
    FILE_JOURNAL_CREATE = 1,      /* a file created; FILE numbers them from 1 */
    FILE_JOURNAL_WRITE = 2,       /* SIZE bytes at OFFSET, the bytes at DATA */
    FILE_JOURNAL_TRUNCATE = 3,    /* cut or extended to OFFSET bytes */
    FILE_JOURNAL_FLUSH = 4,       /* made durable */
    FILE_JOURNAL_FOLDER_SYNC = 5, /* its folder synced: its name durable */
    FILE_JOURNAL_CLOSE = 6
};
struct PlatformJournalEntry {
    int32_t op;
    int32_t file;
    uint32_t offset;
    uint32_t size;
    uint32_t data; /* index into PlatformFileJournal::data */
};
#define FAULT_JOURNAL_ENTRIES 32768
#define FAULT_JOURNAL_DATA (4u << 20)
struct PlatformFileJournal {
    int32_t count;
    uint32_t dataUsed;
    int32_t overflowed; /* entries were left out: the journal is full */
    PlatformJournalEntry entries[FAULT_JOURNAL_ENTRIES];
    char data[FAULT_JOURNAL_DATA];
};

/* Forgets every armed fault and zeroes calls, injected, badHandles and the
 * release journal. */
typedef void(PLUGIN_CALL* PlatformFaultsResetFn)(void);
/* Makes calls FIRST to FIRST + COUNT - 1 of KIND fail, counted from 1 at
 * this call (FIRST 1 is the next call). Replaces the kind's earlier plan. */
typedef void(PLUGIN_CALL* PlatformFaultsArmFn)(int32_t kind, int32_t first, int32_t count);
typedef void(PLUGIN_CALL* PlatformFaultsReadFn)(PlatformFaultCounters* out);

/* The journal since the last platformFaultsJournalClear. */
typedef const PlatformFileJournal*(PLUGIN_CALL* PlatformFaultsJournalFn)(void);
typedef void(PLUGIN_CALL* PlatformFaultsJournalClearFn)(void);
/* With SIMULATED set, platformMonotonicMs returns NOW_MS from then on;
 * with it clear, the system's clock again. */
typedef void(PLUGIN_CALL* PlatformFaultsClockFn)(int32_t simulated, uint32_t nowMs);

#define PLATFORM_FAULTS_JOURNAL_NAME "platformFaultsJournal"
#define PLATFORM_FAULTS_JOURNAL_CLEAR_NAME "platformFaultsJournalClear"
#define PLATFORM_FAULTS_CLOCK_NAME "platformFaultsClock"
#define PLATFORM_FAULTS_RESET_NAME "platformFaultsReset"
#define PLATFORM_FAULTS_ARM_NAME "platformFaultsArm"
#define PLATFORM_FAULTS_READ_NAME "platformFaultsRead"

#endif
