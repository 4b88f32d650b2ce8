// What the navhost commands share.
#include "navhost_common.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <string>

namespace fs = std::filesystem;

namespace navhost {

const char kUsageText[] = "usage: navhost inspect PLUGIN\n"
                          "       navhost check PLUGIN...\n"
                          "       navhost record [options]\n"
                          "       navhost --help\n";

// ---- Small system helpers ----

void sleepMilliseconds(unsigned ms) {
#if defined(_WIN32)
    Sleep(ms);
#else
    timespec t = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
#endif
}

bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

// ---- Loading and checking ----

int loadLibrary(PluginModule& module, const fs::path& path, std::ostream& err) {
    std::string message;
    const LoadStatus status = module.load(path, message);
    if (status == LoadStatus::Loaded)
        return kOk;
    err << "navhost: " << message << "\n";
    return status == LoadStatus::Missing       ? kLibraryMissing
           : status == LoadStatus::NotLoadable ? kLibraryNotLoadable
                                               : kNoEntry;
}

int loadPlugin(PluginModule& module, const fs::path& path, DescriptorReport& report,
               std::ostream& err) {
    const int code = loadLibrary(module, path, err);
    if (code != kOk)
        return code;
    report = inspectDescriptor(module.entry());
    if (!report.conforms()) {
        err << "navhost: " << module.path().u8string()
            << ": the descriptor breaks the plugin contract:\n";
        for (const std::string& problem : report.problems)
            err << "  " << problem << "\n";
        return kBadDescriptor;
    }
    return kOk;
}

} // namespace navhost
