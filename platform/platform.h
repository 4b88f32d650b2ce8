/* The thin layer between the plugins' logic and the operating system. Each
 * call maps onto one or two system calls; the Win32 side serves desktop
 * Windows and Windows CE, the POSIX side serves the Linux builds. Nothing
 * here allocates from the heap. */
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include "../contract/base.h"

/* Opaque system handles; null means "none". */
typedef void* PlatformHandle;

/* ---- Clock ---- */

struct LocalTime {
    int32_t year, month, day, hour, minute, second;
};
/* The wall-clock date and time in the system's local time zone. */
void platformLocalTime(LocalTime* out);
/* Milliseconds of a clock that the wall clock's changes do not move (not in
 * the Windows CE build, like the repair, reading, flushing and folder calls
 * below: only the recorder, a desktop plugin, uses them). It
 * wraps after 49 days: only differences of two readings mean anything. */
uint32_t platformMonotonicMs();

/* ---- Files ---- */

/* Creates PATH for writing where no file or folder of that name exists yet
 * (never truncating one); other processes may still read and write it. Null
 * when the file cannot be created, with *nameTaken set when that is because
 * the name exists; null too when PATH cannot be expressed on the file system
 * (an unpaired surrogate on a system with UTF-8 names, say). On POSIX the
 * file is also locked (a non-blocking advisory lock, held until it is
 * closed), so that platformFileOpenForRepair elsewhere keeps off it. */
PlatformHandle platformFileCreateNew(const WideChar* path, bool* nameTaken);
/* Opens the existing regular file PATH for reading and writing, only where
 * no other handle can write it: on Windows the open shares reading only, on
 * POSIX the file must take a non-blocking advisory lock. Null otherwise. */
PlatformHandle platformFileOpenForRepair(const WideChar* path);
/* Writes SIZE bytes at OFFSET in one write: a positioned one on POSIX, a
 * seek and a write on Windows (the cheaper pair under Wine). False on any
 * failure; some of the bytes may then have been written. */
bool platformFileWriteAt(PlatformHandle file, uint32_t offset, const void* data, size_t size);
/* Reads up to SIZE bytes at OFFSET into DATA; *got receives how many (fewer
 * at the end of the file). False on a failure. */
bool platformFileReadAt(PlatformHandle file, uint32_t offset, void* data, size_t size, size_t* got);
/* The file's size; false when unknown or 4 GiB or more. */
bool platformFileSize(PlatformHandle file, uint32_t* size);
/* Makes what was written to the file durable: FlushFileBuffers, fdatasync.
 * False when the system reported a failure. */
bool platformFileFlush(PlatformHandle file);
/* Makes the name of the file PATH, just created, durable. POSIX syncs the
 * folder holding it; on Windows the file's own flush covers its name. */
void platformFolderSync(const WideChar* path);
/* Cuts the file (or extends it with zeros) to SIZE bytes. */
bool platformFileTruncate(PlatformHandle file, uint32_t size);
/* Closes the file; false when the system reported a failure. */
bool platformFileClose(PlatformHandle file);

/* ---- Folders ---- */

/* Lists the entries of FOLDER, a path ending in a separator or empty for
 * the current folder; one listing at a time. Null when it cannot be read. */
PlatformHandle platformFolderOpen(const WideChar* folder);
/* The next entry's name into NAME (CAPACITY units with the terminator);
 * names that do not fit or cannot be expressed are passed over. False once
 * there are no more. */
bool platformFolderNext(PlatformHandle listing, WideChar* name, size_t capacity);
void platformFolderClose(PlatformHandle listing);

/* ---- Libraries ---- */

/* Loads a library by its Windows name ("GPSAPI.DLL"). On Windows the
 * system's search order applies. The POSIX side takes the same name with
 * ".so" in place of ".DLL", from the executable's own folder first, as
 * Windows does, then from the loader's search path. */
PlatformHandle platformLibraryLoad(const WideChar* name);
/* Any entry of a library; cast it to the entry's own type before a call.
 * (C++03 has no portable cast between object and function pointers.) */
typedef void (*PlatformProc)(void);
/* Resolves an entry by name (by its wide name on Windows CE); null when the
 * library lacks it. */
PlatformProc platformLibrarySymbol(PlatformHandle library, const char* name);
void platformLibraryFree(PlatformHandle library);

/* ---- Events and waiting ---- */

/* An unnamed auto-reset event, initially not signalled; null on failure. */
PlatformHandle platformEventCreate();
void platformEventSignal(PlatformHandle event);
void platformEventClose(PlatformHandle event);

#define PLATFORM_WAIT_TIMEOUT 258u
#define PLATFORM_WAIT_FAILED 0xFFFFFFFFu
#define PLATFORM_WAIT_FOREVER 0xFFFFFFFFu
#define PLATFORM_MAX_WAIT_HANDLES 4
/* Waits until one of COUNT events is signalled (and resets that one) and
 * returns its index, the lowest when several are; PLATFORM_WAIT_TIMEOUT
 * after TIMEOUT_MS, PLATFORM_WAIT_FAILED on failure. */
uint32_t platformWaitAny(const PlatformHandle* events, uint32_t count, uint32_t timeoutMs);

void platformSleep(uint32_t milliseconds);
/* Gives up the rest of the time slice. */
void platformYield();

/* ---- Threads ---- */

#if defined(_WIN32)
#if defined(_M_IX86) || defined(__i386__)
#define PLATFORM_THREAD_CALL __stdcall
#else
#define PLATFORM_THREAD_CALL
#endif
typedef unsigned long PlatformThreadResult;
#else
#define PLATFORM_THREAD_CALL
typedef void* PlatformThreadResult;
#endif
typedef PlatformThreadResult(PLATFORM_THREAD_CALL* PlatformThreadProc)(void* parameter);

/* Starts a thread with the default stack; null on failure. *id receives
 * the system's thread identifier. */
PlatformHandle platformThreadStart(PlatformThreadProc proc, void* parameter, uint32_t* id);
/* Waits for the thread to end and releases its handle. */
void platformThreadJoin(PlatformHandle thread);

#endif
