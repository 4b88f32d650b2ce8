/* Word-sized atomics, and a small spin lock for test builds. Header-only so
 * that the fast paths inline to a plain load. */
#ifndef PLATFORM_ATOMIC_H
#define PLATFORM_ATOMIC_H

#include "platform.h"

#if (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32_WCE)

inline int32_t atomicLoadRelaxed(const volatile int32_t* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
inline int32_t atomicLoadAcquire(const volatile int32_t* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
inline void atomicStoreRelease(volatile int32_t* p, int32_t v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
inline int32_t atomicExchange(volatile int32_t* p, int32_t v) {
    return __atomic_exchange_n(p, v, __ATOMIC_ACQ_REL);
}

#elif defined(_MSC_VER)
/* Old Windows CE compilers: the Interlocked calls are full barriers. */
#include <windows.h>

inline int32_t atomicExchange(volatile int32_t* p, int32_t v) {
    return static_cast<int32_t>(
        InterlockedExchange(reinterpret_cast<volatile LONG*>(p), static_cast<LONG>(v)));
}
inline int32_t atomicLoadRelaxed(const volatile int32_t* p) {
    return *p;
}
inline int32_t atomicLoadAcquire(const volatile int32_t* p) {
    return static_cast<int32_t>(InterlockedCompareExchange(
        const_cast<volatile LONG*>(reinterpret_cast<const volatile LONG*>(p)), 0, 0));
}
inline void atomicStoreRelease(volatile int32_t* p, int32_t v) {
    atomicExchange(p, v);
}

#elif defined(_WIN32_WCE) && defined(__arm__)
/* Windows CE on ARM, built with clang for ARMv4T so that one DLL serves
 * every ARM generation: the compiler has no lock-free atomics there, and
 * SWP is neither on every CPU nor right on a multi-core one. The exchanges
 * are coredll's own Interlocked calls (full barriers, right for each CPU
 * the system runs on; platform/win/ce/coredll_stubs.S). A relaxed load is a
 * plain load, so that a poll with nothing new makes no call. */
extern "C" int32_t coredllInterlockedExchange(volatile int32_t* target, int32_t value);
extern "C" int32_t coredllInterlockedCompareExchange(volatile int32_t* target, int32_t exchange,
                                                     int32_t comparand);

inline int32_t atomicExchange(volatile int32_t* p, int32_t v) {
    return coredllInterlockedExchange(p, v);
}
inline int32_t atomicLoadRelaxed(const volatile int32_t* p) {
    return *p;
}
inline int32_t atomicLoadAcquire(const volatile int32_t* p) {
    return coredllInterlockedCompareExchange(const_cast<volatile int32_t*>(p), 0, 0);
}
inline void atomicStoreRelease(volatile int32_t* p, int32_t v) {
    coredllInterlockedExchange(p, v);
}

#else
#error "no atomics for this compiler"
#endif

/* A lock held only for a few instructions, for the fault-injection layer's
 * tables. It spins briefly and then yields. Not for the plugins' own
 * threads: a yield lets only threads of the same priority run, so a holder
 * of lower priority may never get to release it. */
struct SpinLock {
    volatile int32_t held;
};

inline void spinLockAcquire(SpinLock* lock) {
    for (unsigned spins = 0; atomicExchange(&lock->held, 1) != 0; ++spins) {
        if (spins >= 64)
            platformYield();
    }
}
inline void spinLockRelease(SpinLock* lock) {
    atomicStoreRelease(&lock->held, 0);
}

#endif
