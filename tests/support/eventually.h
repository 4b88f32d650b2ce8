// Waiting for what another thread does, without a fixed sleep.
#pragma once

#include <chrono>
#include <thread>

// Polls CONDITION every millisecond until it holds (true) or TIMEOUT passes
// (false).
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
