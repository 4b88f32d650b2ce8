#include "alloc_count.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <dlfcn.h>
#include <link.h>

namespace {

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using FreeFn = void (*)(void*);
using MemalignFn = void* (*)(size_t, size_t);

MallocFn realMalloc;
CallocFn realCalloc;
ReallocFn realRealloc;
FreeFn realFree;
MemalignFn realMemalign;
bool resolving;

// Serves the allocations the dynamic loader makes while the real entries
// are being looked up; never freed.
alignas(std::max_align_t) char bootstrap[16384];
size_t bootstrapUsed;

std::atomic<uint64_t> allCount;
thread_local uint64_t threadCount;
std::atomic<uint64_t> watchedCount;

struct Range {
    uintptr_t begin, end;
};
const int kMaxRanges = 16;
Range watched[kMaxRanges];
std::atomic<int> watchedRanges;

bool fromBootstrap(void* p) {
    return p >= static_cast<void*>(bootstrap) &&
           p < static_cast<void*>(bootstrap + sizeof bootstrap);
}

void* bootstrapAlloc(size_t size) {
    const size_t align = alignof(std::max_align_t);
    size_t at = (bootstrapUsed + align - 1) / align * align;
    if (at + size > sizeof bootstrap)
        return nullptr;
    bootstrapUsed = at + size;
    return bootstrap + at;
}

void resolve() {
    resolving = true;
    realMalloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    realCalloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    realRealloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    realFree = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    realMemalign = reinterpret_cast<MemalignFn>(dlsym(RTLD_NEXT, "memalign"));
    resolving = false;
}

void count(void* caller) {
    allCount.fetch_add(1, std::memory_order_relaxed);
    ++threadCount;
    const uintptr_t at = reinterpret_cast<uintptr_t>(caller);
    const int n = watchedRanges.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
        if (at >= watched[i].begin && at < watched[i].end) {
            watchedCount.fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
}

const char* wantedName;

int addRanges(dl_phdr_info* info, size_t, void* found) {
    if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, wantedName) == nullptr)
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const int n = watchedRanges.load();
        if (ph.p_type != PT_LOAD || n == kMaxRanges)
            continue;
        watched[n].begin = info->dlpi_addr + ph.p_vaddr;
        watched[n].end = watched[n].begin + ph.p_memsz;
        watchedRanges.store(n + 1, std::memory_order_release);
        *static_cast<bool*>(found) = true;
    }
    return 0;
}

} // namespace

AllocationCounts allocationCounts() {
    AllocationCounts c;
    c.all = allCount.load();
    c.thisThread = threadCount;
    c.fromWatched = watchedCount.load();
    return c;
}

bool watchLibraryCode(const char* name) {
    bool found = false;
    wantedName = name;
    dl_iterate_phdr(addRanges, &found);
    return found;
}

extern "C" {

void* malloc(size_t size) {
    if (realMalloc == nullptr) {
        if (resolving)
            return bootstrapAlloc(size);
        resolve();
    }
    count(__builtin_return_address(0));
    return realMalloc(size);
}

void* calloc(size_t n, size_t size) {
    if (realCalloc == nullptr) {
        if (resolving)
            return bootstrapAlloc(n * size); // static storage is zeroed
        resolve();
    }
    count(__builtin_return_address(0));
    return realCalloc(n, size);
}

void* realloc(void* p, size_t size) {
    if (realRealloc == nullptr)
        resolve();
    count(__builtin_return_address(0));
    if (fromBootstrap(p)) {
        void* q = realMalloc(size);
        // The old block's size is unknown: copy what bootstrap holds from P.
        const size_t room =
            static_cast<size_t>(bootstrap + sizeof bootstrap - static_cast<char*>(p));
        if (q != nullptr)
            std::memcpy(q, p, size < room ? size : room);
        return q;
    }
    return realRealloc(p, size);
}

void free(void* p) {
    if (p == nullptr || fromBootstrap(p))
        return;
    if (realFree == nullptr)
        resolve();
    realFree(p);
}

void* memalign(size_t align, size_t size) {
    if (realMemalign == nullptr)
        resolve();
    count(__builtin_return_address(0));
    return realMemalign(align, size);
}

void* aligned_alloc(size_t align, size_t size) {
    if (realMemalign == nullptr)
        resolve();
    count(__builtin_return_address(0));
    return realMemalign(align, size);
}

int posix_memalign(void** out, size_t align, size_t size) {
    if (realMemalign == nullptr)
        resolve();
    count(__builtin_return_address(0));
    void* p = realMemalign(align, size);
    if (p == nullptr)
        return 12; // ENOMEM
    *out = p;
    return 0;
}

void* valloc(size_t size) {
    if (realMemalign == nullptr)
        resolve();
    count(__builtin_return_address(0));
    return realMemalign(4096, size);
}

} // extern "C"
