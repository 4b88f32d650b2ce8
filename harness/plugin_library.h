// Loads a plugin library through the system's real loader, as a host does,
// and reaches its descriptor; and the names of what is built beside the
// running program.
#pragma once

#include "../contract/plugin.h"

#include <filesystem>
#include <string>

// The system's own separator of folder names.
#if defined(_WIN32)
const char kPathSeparator = '\\';
#else
const char kPathSeparator = '/';
#endif

// The folder of the running program: as a path (read wide on Windows, so
// that any name serves), and as text with a trailing separator.
std::filesystem::path programDirectory();
std::string programFolder();

// File name of a library built beside the tests: "NAME.dll" or "NAME.so".
std::string libraryFileName(const std::string& name);
// File name of a program built beside the tests: "NAME.exe" or "NAME".
std::string programFileName(const std::string& name);

enum class LoadStatus {
    Loaded,
    Missing,     // no file at the path
    NotLoadable, // the loader refused it: not a library, wrong machine, ...
    NoEntry,     // a library without pluginPreInitMethod
};

// A library loaded through the system's loader (LoadLibrary, dlopen): the
// one place that loads, resolves and unloads libraries for the tests, the
// reference host and the benchmarks.
class PluginModule {
  public:
    PluginModule() = default;
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    // Loads PATH, a plugin; on anything but Loaded, MESSAGE tells why.
    LoadStatus load(const std::filesystem::path& path, std::string& message);
    // Loads PATH, any library: Loaded whether or not it exports the entry.
    LoadStatus open(const std::filesystem::path& path, std::string& message);
    // Takes a reference of its own to the library NAME if the process has
    // already loaded it (on Linux NAME may be its SONAME); loads nothing.
    bool attach(const char* name);
    bool attached() const { return handle_ != nullptr; }
    // The plugin entry; null when the library lacks it.
    PluginPreInitFn entry() const { return entry_; }
    void* symbol(const char* name) const;
    const std::filesystem::path& path() const { return path_; }
    // Unloads the library; its descriptor and entries become invalid.
    void unload();

  private:
    void* handle_ = nullptr;
    PluginPreInitFn entry_ = nullptr;
    std::filesystem::path path_;
};

// A library loaded for the length of a test or a benchmark.
class PluginLibrary {
  public:
    // Loads PATH; ok() tells whether it loaded and exports the entry.
    explicit PluginLibrary(const std::string& path);
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool ok() const { return module_.entry() != nullptr; }
    // Whether the library loaded at all, with or without the entry.
    bool loaded() const { return module_.attached(); }
    PluginDescriptor* descriptor() const { return module_.entry()(); }
    void* symbol(const char* name) const { return module_.symbol(name); }

  private:
    PluginModule module_;
};
