// Counts heap allocations in this process by standing in for the C
// library's malloc family (Linux only). Every allocation is counted, on
// any thread; one whose caller's code lies in a watched library is also
// counted apart, as an allocation the library's own code made.
#pragma once

#include <cstdint>

struct AllocationCounts {
    uint64_t all;         // every allocation, any thread
    uint64_t thisThread;  // those made on the calling thread
    uint64_t fromWatched; // those called directly from a watched library's code
};

AllocationCounts allocationCounts();

// Watches the loaded library whose path contains NAME; false when no such
// library is loaded.
bool watchLibraryCode(const char* name);
