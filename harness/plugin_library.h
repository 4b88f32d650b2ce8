// Loads a plugin library through the system's real loader, as a host does,
// and reaches its descriptor.
#pragma once

#include "../contract/plugin.h"

#include <string>

// The system's own separator of folder names.
#if defined(_WIN32)
const char kPathSeparator = '\\';
#else
const char kPathSeparator = '/';
#endif

// The folder of the running test program, with a trailing separator.
std::string programFolder();

// File name of a library built beside the tests: "NAME.dll" or "NAME.so".
std::string libraryFileName(const std::string& name);
// File name of a program built beside the tests: "NAME.exe" or "NAME".
std::string programFileName(const std::string& name);

class PluginLibrary {
  public:
    // Loads PATH; ok() tells whether it loaded and exports the entry.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool ok() const { return entry_ != nullptr; }
    // Whether the library loaded at all, with or without the entry.
    bool loaded() const { return handle_ != nullptr; }
    PluginDescriptor* descriptor() const { return entry_(); }
    void* symbol(const char* name) const;

  private:
    void* handle_ = nullptr;
    PluginPreInitFn entry_ = nullptr;
};
