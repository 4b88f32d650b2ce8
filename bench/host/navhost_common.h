// What the navhost commands share: the exit codes, the usage lines, the
// few system calls they make and the loading of a plugin.
#pragma once

#include "plugin_loader.h"

#include <filesystem>
#include <ostream>

namespace navhost {

// The exit codes "navhost --help" lists ("check" has its own few).
enum ExitCode {
    kOk = 0,
    kUsage = 1,
    kLibraryMissing = 2,
    kLibraryNotLoadable = 3,
    kNoEntry = 4,
    kBadDescriptor = 5,
    kWrongKind = 6,
    kInitFailed = 7,
    kStartFailed = 8,
    kSettingsUnreadable = 9,
    kNoTracksFolder = 10,
    kNoTrack = 11,
    kTrackUnreadable = 12,
    kPositionsLost = 13,
    kNoPositionSource = 14,
    kUnexpected = 125,
};

extern const char kUsageText[];

void sleepMilliseconds(unsigned ms);
bool stdoutIsTerminal();

// Loads the library at PATH and finds its entry; prints the reason and
// returns the exit code when either fails.
int loadLibrary(PluginModule& module, const std::filesystem::path& path, std::ostream& err);
// Loads PATH and checks its descriptor; prints the reason and returns the
// exit code when either fails.
int loadPlugin(PluginModule& module, const std::filesystem::path& path, DescriptorReport& report,
               std::ostream& err);

} // namespace navhost
