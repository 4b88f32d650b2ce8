#include "process_resources.h"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

namespace {

#if !defined(_WIN32)
int countEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr)
        return -1;
    int n = 0;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}
#endif

} // namespace

int countThreads() {
#if defined(_WIN32)
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    CloseHandle(snapshot);
    return n;
#else
    return countEntries("/proc/self/task");
#endif
}

ProcessResources processResources() {
    ProcessResources r;
    r.threads = countThreads();
#if defined(_WIN32)
    // Wine reports no handle count; probe the handle values instead.
    for (uintptr_t value = 4; value < 0x8000; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++r.handles;
    }
#else
    r.handles = countEntries("/proc/self/fd");
#endif
    return r;
}

std::string describe(const ProcessResources& r) {
    return std::to_string(r.threads) + " threads, " + std::to_string(r.handles) + " handles";
}
