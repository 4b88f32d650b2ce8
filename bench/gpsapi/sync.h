// A mutex and a condition variable for the simulated driver, statically
// initialised so that the library needs no set-up at load.
//
// On Windows both are built from an interlocked flag and short polls, not
// from slim locks and condition variables: Wine run through an emulator of
// 32-bit x86 crashes or stalls when threads contend on those, and the
// driver's waits are short polls anyway. The lock is held only for copies,
// never across a system call, so a contender yields its turn rather than
// sleep: a 1 ms sleep there would be the bulk of a reading's hand-over.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#endif

class Mutex {
  public:
#if defined(_WIN32)
    void lock() {
        // Sleep(1) only as a last resort, should the holder not run at all.
        for (unsigned spins = 0; InterlockedExchange(&held_, 1) != 0; ++spins)
            if (spins < 4096)
                SwitchToThread();
            else
                Sleep(1);
    }
    void unlock() {
        InterlockedExchange(&held_, 0);
    }
    volatile LONG held_ = 0;
#else
    void lock() {
        pthread_mutex_lock(&lock_);
    }
    void unlock() {
        pthread_mutex_unlock(&lock_);
    }
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

class Locked {
  public:
    explicit Locked(Mutex& m) : m_(m) { m_.lock(); }
    ~Locked() { m_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    Mutex& m_;
};

class Condition {
  public:
    // Waits until notified, or at most TIMEOUT_MS; M is held on entry and
    // on return. Spurious wake-ups happen: callers test their predicate.
#if defined(_WIN32)
    // A poll: the caller tests its predicate again after each return.
    void wait(Mutex& m) {
        waitFor(m, 1);
    }
    void waitFor(Mutex& m, uint32_t timeoutMs) {
        m.unlock();
        Sleep(timeoutMs < 1 ? 0 : 1);
        m.lock();
    }
    void notifyAll() {}
#else
    void wait(Mutex& m) {
        pthread_cond_wait(&cv_, &m.lock_);
    }
    void waitFor(Mutex& m, uint32_t timeoutMs) {
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += timeoutMs / 1000;
        until.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        pthread_cond_clockwait(&cv_, &m.lock_, CLOCK_MONOTONIC, &until);
    }
    void notifyAll() {
        pthread_cond_broadcast(&cv_);
    }
    pthread_cond_t cv_ = PTHREAD_COND_INITIALIZER;
#endif
};

// Gives the processor to another ready thread, if any.
inline void yieldThread() {
#if defined(_WIN32)
    SwitchToThread();
#else
    sched_yield();
#endif
}

// Milliseconds from a monotonic clock.
inline int64_t monotonicMs() {
#if defined(_WIN32)
    return static_cast<int64_t>(GetTickCount64());
#else
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}
