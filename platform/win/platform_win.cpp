/* Win32 side of the platform layer: desktop Windows and Windows CE. Only
 * calls that Windows CE also has are used here. */
#include "../platform.h"

#include <windows.h>

#if defined(_WIN32_WCE) && !defined(GetProcAddress)
/* CE resolves entries by wide name only. */
extern "C" FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR name);
#endif
#if defined(_WIN32_WCE) && !defined(SetEvent)
/* On CE, SetEvent is a header macro over this kernel call; coredll has no
 * entry of that name. */
extern "C" BOOL WINAPI EventModify(HANDLE event, DWORD action);
#define SetEvent(event) EventModify(event, 3)
#endif

void platformLocalTime(LocalTime* out) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    out->year = now.wYear;
    out->month = now.wMonth;
    out->day = now.wDay;
    out->hour = now.wHour;
    out->minute = now.wMinute;
    out->second = now.wSecond;
}

#if !defined(_WIN32_WCE)
/* The recorder's calls, desktop Windows only: the CE build serves the
 * provider, which needs none of them. */
uint32_t platformMonotonicMs() {
    return GetTickCount();
}
#endif

namespace {

#if !defined(_WIN32_WCE)
/* The one folder listing, and whether its first entry is still unread. */
struct Listing {
    HANDLE find;
    bool pending;
    WIN32_FIND_DATAW entry;
};
Listing listing;
#endif

/* Moves the file pointer to OFFSET, which may exceed 2 GiB. */
bool seekTo(PlatformHandle file, uint32_t offset) {
    LONG high = 0;
    SetLastError(NO_ERROR);
    return SetFilePointer(static_cast<HANDLE>(file), static_cast<LONG>(offset), &high,
                          FILE_BEGIN) != INVALID_SET_FILE_POINTER ||
           GetLastError() == NO_ERROR;
}

} // namespace

PlatformHandle platformFileCreateNew(const WideChar* path, bool* nameTaken) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        *nameTaken = false;
        return file;
    }
    const DWORD error = GetLastError();
    *nameTaken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return 0;
}

#if !defined(_WIN32_WCE)
PlatformHandle platformFileOpenForRepair(const WideChar* path) {
    /* Sharing reading only: the open fails while another handle may write. */
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    return file == INVALID_HANDLE_VALUE ? 0 : file;
}

bool platformFileReadAt(PlatformHandle file, uint32_t offset, void* data, size_t size,
                        size_t* got) {
    char* p = static_cast<char*>(data);
    *got = 0;
    if (!seekTo(file, offset))
        return false;
    while (*got < size) {
        DWORD read = 0;
        if (!ReadFile(static_cast<HANDLE>(file), p + *got, static_cast<DWORD>(size - *got), &read,
                      NULL))
            return false;
        if (read == 0)
            break;
        *got += read;
    }
    return true;
}

bool platformFileSize(PlatformHandle file, uint32_t* size) {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(static_cast<HANDLE>(file), &high);
    if ((low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0)
        return false;
    *size = low;
    return true;
}

bool platformFileFlush(PlatformHandle file) {
    return FlushFileBuffers(static_cast<HANDLE>(file)) != 0;
}

void platformFolderSync(const WideChar*) {}

PlatformHandle platformFolderOpen(const WideChar* folder) {
    WCHAR pattern[MAX_PATH + 2];
    size_t n = 0;
    for (; folder[n] != 0; ++n) {
        if (n + 2 >= sizeof pattern / sizeof pattern[0])
            return 0;
        pattern[n] = folder[n];
    }
    pattern[n++] = '*';
    pattern[n] = 0;
    listing.find = FindFirstFileW(pattern, &listing.entry);
    if (listing.find == INVALID_HANDLE_VALUE)
        return 0;
    listing.pending = true;
    return &listing;
}

bool platformFolderNext(PlatformHandle handle, WideChar* name, size_t capacity) {
    Listing* l = static_cast<Listing*>(handle);
    for (;;) {
        if (!l->pending && !FindNextFileW(l->find, &l->entry))
            return false;
        l->pending = false;
        size_t n = 0;
        while (l->entry.cFileName[n] != 0 && n + 1 < capacity) {
            name[n] = l->entry.cFileName[n];
            ++n;
        }
        if (l->entry.cFileName[n] == 0) {
            name[n] = 0;
            return true;
        }
    }
}

void platformFolderClose(PlatformHandle handle) {
    FindClose(static_cast<Listing*>(handle)->find);
}

#endif

bool platformFileWriteAt(PlatformHandle file, uint32_t offset, const void* data, size_t size) {
    /* A seek and a plain write: under Wine a write at an offset (OVERLAPPED)
     * costs a round trip to its server, and CE has no other way. The file
     * pointer is the recorder's alone, and the bytes still go out in one
     * write. */
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!seekTo(file, offset) ||
            !WriteFile(static_cast<HANDLE>(file), p, static_cast<DWORD>(size), &written, NULL) ||
            written == 0)
            return false;
        p += written;
        offset += written;
        size -= written;
    }
    return true;
}

bool platformFileTruncate(PlatformHandle file, uint32_t size) {
    /* Every write and read seeks first: where the pointer is left is no
     * matter. */
    return seekTo(file, size) && SetEndOfFile(static_cast<HANDLE>(file)) != 0;
}

bool platformFileClose(PlatformHandle file) {
    return CloseHandle(static_cast<HANDLE>(file)) != 0;
}

PlatformHandle platformLibraryLoad(const WideChar* name) {
    return LoadLibraryW(name);
}

PlatformProc platformLibrarySymbol(PlatformHandle library, const char* name) {
    FARPROC entry;
#if defined(_WIN32_WCE)
    WCHAR wide[64];
    size_t i = 0;
    for (; name[i] != 0 && i + 1 < sizeof wide / sizeof wide[0]; ++i)
        wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
    wide[i] = 0;
    entry = GetProcAddressW(static_cast<HMODULE>(library), wide);
#else
    entry = GetProcAddress(static_cast<HMODULE>(library), name);
#endif
    return reinterpret_cast<PlatformProc>(entry);
}

void platformLibraryFree(PlatformHandle library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

PlatformHandle platformEventCreate() {
    return CreateEventW(NULL, FALSE, FALSE, NULL);
}

void platformEventSignal(PlatformHandle event) {
    SetEvent(static_cast<HANDLE>(event));
}

void platformEventClose(PlatformHandle event) {
    CloseHandle(static_cast<HANDLE>(event));
}

/* A PlatformHandle is a HANDLE: the events are waited on where they are. */
uint32_t platformWaitAny(const PlatformHandle* events, uint32_t count, uint32_t timeoutMs) {
    if (count == 0 || count > PLATFORM_MAX_WAIT_HANDLES)
        return PLATFORM_WAIT_FAILED;
    DWORD result = WaitForMultipleObjects(count, events, FALSE, timeoutMs);
    if (result < WAIT_OBJECT_0 + count)
        return result - WAIT_OBJECT_0;
    return result == WAIT_TIMEOUT ? PLATFORM_WAIT_TIMEOUT : PLATFORM_WAIT_FAILED;
}

void platformSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}

void platformYield() {
    Sleep(0);
}

PlatformHandle platformThreadStart(PlatformThreadProc proc, void* parameter, uint32_t* id) {
    DWORD threadId = 0;
    HANDLE thread = CreateThread(NULL, 0, proc, parameter, 0, &threadId);
    *id = threadId;
    return thread;
}

void platformThreadJoin(PlatformHandle thread) {
    WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
    CloseHandle(static_cast<HANDLE>(thread));
}
