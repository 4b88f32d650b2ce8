// Latency from the driver's new-location signal to the position being
// available to the host, through the provider's real reader thread, beside
// a baseline: the bare wake-up of a thread waiting on the same kind of
// event, which then publishes a word. Runs on Linux and, built for Windows,
// under Wine.
//
//   latency [READINGS]
//
// Prints one line of key=value figures in microseconds.
#include "provider_session.h"

#include "../../platform/platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The time between readings, so that the reader thread is asleep in its
// wait when the next one is signalled, as it is between real fixes.
void pause() {
    platformSleep(1);
}

struct Summary {
    double median, p99, max;
};

Summary summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {v[n / 2], v[std::min(n - 1, (n * 99 + 99) / 100 - 1)], v[n - 1]};
}

// A thread asleep on an event, as the reader thread is, that publishes the
// sequence number it finds when woken.
std::atomic<uint32_t> requested{0}, published{0};

PlatformThreadResult PLATFORM_THREAD_CALL wakeMain(void* parameter) {
    PlatformHandle* events = static_cast<PlatformHandle*>(parameter);
    for (;;) {
        const uint32_t which = platformWaitAny(events, 2, PLATFORM_WAIT_FOREVER);
        if (which != 1)
            break;
        published.store(requested.load(std::memory_order_relaxed), std::memory_order_release);
    }
    return 0;
}

// The baseline's thread, asleep on its work event.
class WakeUp {
  public:
    WakeUp() : events_{platformEventCreate(), platformEventCreate()} {
        if (events_[0] != nullptr && events_[1] != nullptr)
            thread_ = platformThreadStart(wakeMain, events_, &id_);
    }
    ~WakeUp() {
        if (thread_ != nullptr) {
            platformEventSignal(events_[0]);
            platformThreadJoin(thread_);
        }
        for (PlatformHandle e : events_)
            if (e != nullptr)
                platformEventClose(e);
    }
    bool ok() const { return thread_ != nullptr; }

    // Time from the signal until the thread has published SEQUENCE.
    double measure(uint32_t sequence) {
        requested.store(sequence, std::memory_order_relaxed);
        const Clock::time_point t0 = Clock::now();
        platformEventSignal(events_[1]);
        while (published.load(std::memory_order_acquire) != sequence)
            std::this_thread::yield();
        return micros(Clock::now() - t0);
    }

  private:
    PlatformHandle events_[2]; // stop, work
    PlatformHandle thread_ = nullptr;
    uint32_t id_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    const size_t readings = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
    if (readings == 0)
        return 2;
    std::vector<double> provider, wake;
    size_t mismatches = 0, timeouts = 0;
    {
        ProviderSession session;
        if (*session.error() != 0) {
            std::printf("latency error=\"%s\"\n", session.error());
            return 1;
        }
        WakeUp baseline;
        if (!baseline.ok()) {
            std::printf("latency error=\"no baseline thread\"\n");
            return 1;
        }
        // The provider's readings and the baseline's wake-ups alternate, so
        // that both meet the same load on the machine.
        GpsRecord r;
        for (uint32_t i = 1; i <= readings; ++i) {
            const GPS_POSITION p = fullReading(i);
            pause();
            const Clock::time_point t0 = Clock::now();
            session.push(p);
            const Clock::time_point deadline = t0 + std::chrono::seconds(10);
            bool got = false;
            while (!(got = session.getPosition(&r) == 1) && Clock::now() < deadline)
                std::this_thread::yield();
            const Clock::time_point t1 = Clock::now();
            if (!got) {
                ++timeouts;
                continue;
            }
            provider.push_back(micros(t1 - t0));
            if (r.latitude != static_cast<float>(p.dblLatitude))
                ++mismatches;
            pause();
            wake.push_back(baseline.measure(i));
        }
    }
    if (provider.empty()) {
        std::printf("latency error=\"no readings arrived\" timeouts=%zu\n", timeouts);
        return 1;
    }
    const Summary s = summarise(provider), b = summarise(wake);
    std::printf("latency readings=%zu median_us=%.1f p99_us=%.1f max_us=%.1f "
                "baseline_median_us=%.1f baseline_p99_us=%.1f baseline_max_us=%.1f "
                "mismatches=%zu timeouts=%zu\n",
                provider.size(), s.median, s.p99, s.max, b.median, b.p99, b.max, mismatches,
                timeouts);
    return mismatches == 0 && timeouts == 0 ? 0 : 1;
}
