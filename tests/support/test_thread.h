// A thread for tests, started through the platform layer (CreateThread on
// Windows), as the provider starts its reader thread. Under Wine on a
// machine that emulates 32-bit x86, threads of the C++ runtime crash at
// their first system call, so tests use this instead of std::thread.
#pragma once

#include "../../platform/platform.h"

#include <functional>
#include <utility>

class TestThread {
  public:
    explicit TestThread(std::function<void()> body) : body_(std::move(body)) {
        uint32_t id = 0;
        handle_ = platformThreadStart(&TestThread::run, this, &id);
    }
    ~TestThread() { join(); }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    bool started() const { return handle_ != nullptr; }
    void join() {
        if (handle_ != nullptr)
            platformThreadJoin(handle_);
        handle_ = nullptr;
    }

  private:
    static PlatformThreadResult PLATFORM_THREAD_CALL run(void* self) {
        static_cast<TestThread*>(self)->body_();
        return 0;
    }

    std::function<void()> body_;
    PlatformHandle handle_ = nullptr;
};
