// A plugin library built over the fault-injection platform layer
// (NAME_faults), loaded through the real loader like the deliverable, with
// its fault controls resolved.
#pragma once

#include "../../harness/plugin_library.h"
#include "../../platform/faults.h"

#include <string>

class FaultPlugin {
  public:
    // Loads NAME_faults from the test program's folder.
    explicit FaultPlugin(const std::string& name);

    // True when the library loaded and exports the entry and the controls.
    bool ok() const;
    PluginDescriptor* descriptor() const { return library_.descriptor(); }
    void* symbol(const char* name) const { return library_.symbol(name); }

    void reset() const { reset_(); }
    // Calls FIRST .. FIRST + COUNT - 1 of KIND, counted from the next, fail.
    void arm(PlatformFaultKind kind, int32_t first, int32_t count = 1) const {
        arm_(kind, first, count);
    }
    PlatformFaultCounters counters() const;

  private:
    PluginLibrary library_;
    PlatformFaultsResetFn reset_ = nullptr;
    PlatformFaultsArmFn arm_ = nullptr;
    PlatformFaultsReadFn read_ = nullptr;
};
