// Checking the descriptor a plugin library returns against the contract;
// the library itself is loaded by the harness's PluginModule.
#pragma once

#include "../../contract/plugin.h"
#include "../../harness/plugin_library.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace navhost {

// The readable address ranges of one loaded module (a library or the
// program), so that pointers a library hands out can be checked before the
// host reads through them.
class ModuleImage {
  public:
    // The module that holds ADDRESS; empty when none does.
    static ModuleImage containing(const void* address);

    bool empty() const { return ranges_.empty(); }
    // True when all SIZE bytes at P lie in one readable range.
    bool contains(const void* p, size_t size) const;

  private:
    std::vector<std::pair<uintptr_t, uintptr_t> > ranges_; // [begin, end)
};

struct DescriptorReport {
    // The descriptor, or null when there was none that could be read.
    const PluginDescriptor* descriptor = nullptr;
    std::string name, maker; // UTF-8, when the strings could be read
    std::vector<std::string> problems;

    bool conforms() const { return descriptor != nullptr && problems.empty(); }
};

// Checks the descriptor D, whose strings and entries must lie in IMAGE.
DescriptorReport checkDescriptor(const PluginDescriptor* d, const ModuleImage& image);
// Calls ENTRY twice, as a host may, and checks what it returns: the same
// descriptor both times, holding what the contract demands.
DescriptorReport inspectDescriptor(PluginPreInitFn entry);
// The descriptor as lines of text: kind, number, name, maker and which
// entries are present.
std::string describeDescriptor(const DescriptorReport& report);

// The name of entry SLOT (8 to 15) for a plugin of KIND.
const char* entryName(int slot, int32_t kind);

} // namespace navhost
