/* Word-sized atomics and a small spin lock for the hand-over between the
 * provider's reader thread and the host's thread. Header-only so that the
 * fast paths inline to a plain load. */
#ifndef PLATFORM_ATOMIC_H
#define PLATFORM_ATOMIC_H

#include "platform.h"

#if defined(__GNUC__) || defined(__clang__)

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
inline int32_t atomicLoadAcquire(const volatile int32_t* p) {
    return static_cast<int32_t>(InterlockedCompareExchange(
        const_cast<volatile LONG*>(reinterpret_cast<const volatile LONG*>(p)), 0, 0));
}
inline void atomicStoreRelease(volatile int32_t* p, int32_t v) {
    atomicExchange(p, v);
}

#else
#error "no atomics for this compiler"
#endif

/* A lock held only for a copy of a few hundred bytes. It spins briefly and
 * then yields, so that on a single-core device the holder gets to run. */
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
