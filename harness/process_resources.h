// What the process holds, to see what a plugin leaves behind: the one count
// of threads and handles for the tests, navhost check and the soak.
#pragma once

#include <string>

// Threads of this process, and its open handles (descriptors on Linux).
struct ProcessResources {
    int threads = 0;
    int handles = 0;
    bool operator==(const ProcessResources& o) const {
        return threads == o.threads && handles == o.handles;
    }
    // Nothing left behind since BEFORE: the same handles, and no more
    // threads (an emulator may end one of its own helper threads meanwhile).
    bool leavesNothingSince(const ProcessResources& before) const {
        return threads <= before.threads && handles == before.handles;
    }
};
int countThreads();
ProcessResources processResources();
std::string describe(const ProcessResources& r);
