#include "plugin_library.h"

#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

fs::path programDirectory() {
#if defined(_WIN32)
    wchar_t path[4096];
    const DWORD n = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
    return fs::path(std::wstring(path, n)).parent_path();
#else
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return fs::path(std::string(path, n > 0 ? static_cast<size_t>(n) : 0)).parent_path();
#endif
}

std::string programFolder() {
    return programDirectory().string() + kPathSeparator;
}

std::string libraryFileName(const std::string& name) {
#if defined(_WIN32)
    return name + ".dll";
#else
    return name + ".so";
#endif
}

std::string programFileName(const std::string& name) {
#if defined(_WIN32)
    return name + ".exe";
#else
    return name;
#endif
}

PluginModule::~PluginModule() {
    unload();
}

void PluginModule::unload() {
    if (handle_ != nullptr) {
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(handle_));
#else
        dlclose(handle_);
#endif
    }
    handle_ = nullptr;
    entry_ = nullptr;
}

void* PluginModule::symbol(const char* name) const {
    if (handle_ == nullptr)
        return nullptr;
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

bool PluginModule::attach(const char* name) {
    unload();
#if defined(_WIN32)
    HMODULE module = nullptr;
    if (GetModuleHandleExA(0, name, &module))
        handle_ = module;
#else
    handle_ = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
#endif
    return handle_ != nullptr;
}

#if defined(_WIN32)
namespace {

// Why the system could not load the library at PATH, in its own words.
// The system's texts name their subject as inserts ("%1 is not a valid
// application"): every insert is the library's path.
std::string loadFailureText(const fs::path& path, DWORD error) {
    const std::wstring subject = path.wstring();
    DWORD_PTR inserts[9];
    for (DWORD_PTR& insert : inserts)
        insert = reinterpret_cast<DWORD_PTR>(subject.c_str());
    wchar_t text[1024] = {0};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, error, 0,
                   text, sizeof text / sizeof text[0], reinterpret_cast<va_list*>(inserts));
    char utf8[4096] = {0};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::string reason = utf8;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == ' ' || reason.back() == '.'))
        reason.pop_back();
    return reason.empty() ? "system error " + std::to_string(error) : reason;
}

} // namespace
#endif

LoadStatus PluginModule::open(const fs::path& path, std::string& message) {
    unload();
    std::error_code ec;
    path_ = fs::absolute(path, ec).lexically_normal();
    if (ec)
        path_ = path;
    const fs::file_status status = fs::status(path_, ec);
    if (!fs::exists(status)) {
        message = path_.u8string() + ": no such file";
        return LoadStatus::Missing;
    }
    if (fs::is_directory(status)) {
        message = path_.u8string() + " is a folder, not a library";
        return LoadStatus::NotLoadable;
    }
#if defined(_WIN32)
    // No dialog boxes for a library the system cannot map.
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryW(path_.wstring().c_str());
    const DWORD error = GetLastError();
    SetErrorMode(oldMode);
    if (module == nullptr) {
        message = path_.u8string() + " cannot be loaded: " + loadFailureText(path_, error);
        return LoadStatus::NotLoadable;
    }
    handle_ = module;
#else
    dlerror();
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        message = path_.u8string() + " cannot be loaded: " + (reason ? reason : "unknown error");
        return LoadStatus::NotLoadable;
    }
#endif
    entry_ = reinterpret_cast<PluginPreInitFn>(symbol(PLUGIN_ENTRY_NAME));
    return LoadStatus::Loaded;
}

LoadStatus PluginModule::load(const fs::path& path, std::string& message) {
    const LoadStatus status = open(path, message);
    if (status != LoadStatus::Loaded || entry_ != nullptr)
        return status;
    message = path_.u8string() + " is a library but not a plugin: it does not export " +
              PLUGIN_ENTRY_NAME;
    unload();
    return LoadStatus::NoEntry;
}

PluginLibrary::PluginLibrary(const std::string& path) {
    std::string message;
    module_.open(fs::u8path(path), message);
}
