// The navhost command line: "inspect" loads one plugin library and checks
// its descriptor; "record" runs a GPS provider and a track recorder
// together, carrying every position from one to the other, and reports on
// the track that comes out.
#include "navhost_cli.h"

#include "../gpsapi/gpsapi_control.h"

#include "gpx_track.h"
#include "ini_store.h"
#include "navhost_check.h"
#include "plugin_loader.h"
#include "settings_host.h"
#include "text.h"
#include "track_svg.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <locale>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace navhost;

namespace {

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

const char kUsageText[] = "usage: navhost inspect PLUGIN\n"
                          "       navhost check PLUGIN...\n"
                          "       navhost record [options]\n"
                          "       navhost --help\n";

const char kHelpText[] =
    "\n"
    "inspect PLUGIN\n"
    "    Loads the plugin library PLUGIN, calls its pluginPreInitMethod and checks\n"
    "    the descriptor it returns; prints kind, number, name, maker and which\n"
    "    entries are present.\n"
    "\n"
    "record [options]\n"
    "    Loads a GPS provider and a track recorder, starts both, hands every new\n"
    "    position of the provider to the recorder and shows the progress. The\n"
    "    run ends when the simulated driver reports the end of its replay (its\n"
    "    SimGpsReplayFinished entry, looked up in the loaded GPSAPI library and\n"
    "    then in the provider itself), when an end condition below is met, or on\n"
    "    Ctrl-C. Both plugins are then stopped, which completes the track, and\n"
    "    navhost prints where the track is, its points, time span and bounding\n"
    "    box, and writes a picture of it beside it (same name, .svg).\n"
    "\n"
    "    --provider PATH      provider library (default: orvane beside navhost)\n"
    "    --recorder PATH      recorder library (default: wendmark beside navhost)\n"
    "    --settings FILE      INI settings file, one [SECTION] per plugin name\n"
    "                         (default: navhost.ini in the current folder; created\n"
    "                         when missing, and the plugins add their defaults)\n"
    "    --tracks FOLDER      folder for the track files; stored as the recorder's\n"
    "                         tracks_path (default: the tracks_path already in the\n"
    "                         settings file, else the current folder)\n"
    "    --max-positions N    end after N positions\n"
    "    --idle SECONDS       end when no new position came for SECONDS\n"
    "    --duration SECONDS   end after SECONDS\n"
    "    --poll MS            poll the provider every MS milliseconds (default 5)\n"
    "    --satellites FILE    write each satellite table the provider hands out,\n"
    "                         one line each, after the time of the latest position\n"
    "    --no-track           do not look for a track file afterwards (a recorder\n"
    "                         that does not ask for tracks_path is not checked\n"
    "                         either: it writes no GPX tracks)\n"
    "\n"
    "environment (read by the simulated GPS driver, GPSAPI beside navhost)\n"
    "    GPSAPI_REPLAY_LOG    the NMEA 0183 log to replay, the position source;\n"
    "                         without it record refuses to start (exit 14)\n"
    "    GPSAPI_REPLAY_PACE   unset or 1: the log's own rate; N: N times faster;\n"
    "                         host: each position waits until navhost has\n"
    "                         received it\n"
    "\n"
    "exit codes\n"
    "    0   success\n"
    "    1   bad command line\n"
    "    2   a plugin library does not exist\n"
    "    3   a plugin library cannot be loaded (not a library, wrong machine, ...)\n"
    "    4   the library does not export pluginPreInitMethod\n"
    "    5   the descriptor breaks the plugin contract\n"
    "    6   the plugin's kind does not fit its role (provider 16, recorder 4)\n"
    "    7   PluginInit failed\n"
    "    8   PluginStart failed\n"
    "    9   the settings file cannot be read (or is not a valid INI file)\n"
    "    10  the tracks folder does not exist\n"
    "    11  the run ended without a track file (the message says why)\n"
    "    12  the track file cannot be read back, or its picture not written\n"
    "    13  positions were lost: at the end of the replay navhost had received\n"
    "        fewer (or more) positions than the simulated driver delivered\n"
    "    14  no position source: the simulated driver has no GPSAPI_REPLAY_LOG\n"
    "    125 an unexpected failure of navhost itself\n";

// ---- Small system helpers ----

fs::path programFolder() {
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

const char* libraryExtension() {
#if defined(_WIN32)
    return ".dll";
#else
    return ".so";
#endif
}

char pathSeparator() {
#if defined(_WIN32)
    return '\\';
#else
    return '/';
#endif
}

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

std::atomic<bool> interrupted(false);

#if defined(_WIN32)
// Set once the plugins are stopped and de-initialised.
HANDLE runFinished = nullptr;

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        interrupted = true;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends when this returns: first let the run complete
        // the track, within the few seconds the system allows.
        interrupted = true;
        if (runFinished != nullptr)
            WaitForSingleObject(runFinished, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}
#else
void onSignal(int) {
    interrupted = true;
}
#endif

// Turns Ctrl-C, a closed terminal (SIGHUP; on Windows the console's close,
// logoff and shutdown events) and SIGTERM into a request to end the run,
// from construction until destruction, when the previous handling comes
// back.
class InterruptCatcher {
  public:
    InterruptCatcher() {
        interrupted = false;
#if defined(_WIN32)
        runFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(&onConsoleControl, TRUE);
#else
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = &onSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInterrupt_);
        sigaction(SIGTERM, &action, &oldTerminate_);
        sigaction(SIGHUP, &action, &oldHangUp_);
#endif
    }
    ~InterruptCatcher() {
        finished();
#if defined(_WIN32)
        SetConsoleCtrlHandler(&onConsoleControl, FALSE);
        CloseHandle(runFinished);
        runFinished = nullptr;
#else
        sigaction(SIGINT, &oldInterrupt_, nullptr);
        sigaction(SIGTERM, &oldTerminate_, nullptr);
        sigaction(SIGHUP, &oldHangUp_, nullptr);
#endif
    }
    // The track is complete: a console being closed may now end the process.
    void finished() const {
#if defined(_WIN32)
        if (runFinished != nullptr)
            SetEvent(runFinished);
#endif
    }
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

  private:
#if !defined(_WIN32)
    struct sigaction oldInterrupt_, oldTerminate_, oldHangUp_;
#endif
};

// Holds the simulated driver library loaded (a counted reference) while the
// host may still ask it whether the replay is over, even after the provider
// has released it. The acknowledge entry is told of each position the host
// got, so that a replay paced by the host never replaces a position before
// the host has it.
class ReplayEnd {
  public:
    // Looks for the entries in the loaded driver library, then in PROVIDER.
    void resolve(const PluginModule& provider) {
        if (finished_ != nullptr)
            return;
#if defined(_WIN32)
        const char kDriver[] = "GPSAPI.DLL";
#else
        const char kDriver[] = "GPSAPI.so";
#endif
        if (driver_.attach(kDriver)) {
            finished_ =
                reinterpret_cast<SimGpsReplayFinishedFn>(driver_.symbol("SimGpsReplayFinished"));
            acknowledge_ = reinterpret_cast<SimGpsReplayAcknowledgeFn>(
                driver_.symbol("SimGpsReplayAcknowledge"));
            status_ =
                reinterpret_cast<SimGpsGetReplayStatusFn>(driver_.symbol("SimGpsGetReplayStatus"));
            if (finished_ == nullptr)
                release();
        }
        if (finished_ == nullptr)
            finished_ =
                reinterpret_cast<SimGpsReplayFinishedFn>(provider.symbol("SimGpsReplayFinished"));
    }

    bool known() const {
        return finished_ != nullptr;
    }
    bool finished() const {
        return finished_ != nullptr && finished_() == 1;
    }
    void acknowledge() const {
        if (acknowledge_ != nullptr)
            acknowledge_();
    }
    // The positions the driver delivered, or -1 when it does not say.
    long positionsDelivered() const {
        if (status_ == nullptr)
            return -1;
        SimGpsReplayStatus s;
        std::memset(&s, 0, sizeof s);
        status_(&s);
        return s.positionsDelivered;
    }

    void release() {
        finished_ = nullptr;
        acknowledge_ = nullptr;
        status_ = nullptr;
        driver_.unload();
    }

  private:
    PluginModule driver_;
    SimGpsReplayFinishedFn finished_ = nullptr;
    SimGpsReplayAcknowledgeFn acknowledge_ = nullptr;
    SimGpsGetReplayStatusFn status_ = nullptr;
};

// ---- Loading and checking ----

// Loads PATH and checks its descriptor; prints the reason and returns the
// exit code when either fails.
int loadPlugin(PluginModule& module, const fs::path& path, DescriptorReport& report,
               std::ostream& err) {
    std::string message;
    switch (module.load(path, message)) {
    case LoadStatus::Loaded:
        break;
    case LoadStatus::Missing:
        err << "navhost: " << message << "\n";
        return kLibraryMissing;
    case LoadStatus::NotLoadable:
        err << "navhost: " << message << "\n";
        return kLibraryNotLoadable;
    case LoadStatus::NoEntry:
        err << "navhost: " << message << "\n";
        return kNoEntry;
    }
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

int inspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1) {
        err << kUsageText;
        return kUsage;
    }
    PluginModule module;
    DescriptorReport report;
    const int code = loadPlugin(module, fs::u8path(args[0]), report, err);
    if (code != kOk && code != kBadDescriptor)
        return code;
    out << "library:   " << module.path().u8string() << "\n" << describeDescriptor(report);
    if (code == kOk)
        out << "descriptor conforms to the plugin contract\n";
    return code;
}

// ---- Recording ----

struct RecordOptions {
    fs::path provider, recorder, settings;
    std::string tracks; // empty: from the settings file
    long maxPositions = 0;
    double idleSeconds = 0, durationSeconds = 0;
    unsigned pollMs = 5;
    bool noTrack = false;
    fs::path satellites; // empty: not written
};

bool parseCount(const std::string& text, long& value) {
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == 0 && value > 0;
}

bool parseSeconds(const std::string& text, double& value) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> value;
    return !in.fail() && in.eof() && value > 0;
}

// Parses the options of "record"; false (after a message) on a bad one.
bool parseRecordOptions(const std::vector<std::string>& args, RecordOptions& o, std::ostream& err) {
    const fs::path folder = programFolder();
    o.provider = folder / (std::string("orvane") + libraryExtension());
    o.recorder = folder / (std::string("wendmark") + libraryExtension());
    o.settings = "navhost.ini";
    static const char* const known[] = {"--provider",      "--recorder",  "--settings", "--tracks",
                                        "--max-positions", "--idle",      "--duration", "--poll",
                                        "--no-track",      "--satellites"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (std::find(std::begin(known), std::end(known), option) == std::end(known)) {
            err << "navhost: " << option << ": unknown option\n";
            return false;
        }
        if (option == "--no-track") {
            o.noTrack = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            err << "navhost: " << option << " needs a value\n";
            return false;
        }
        const std::string& value = args[++i];
        long count = 0;
        bool good = true;
        if (option == "--provider")
            o.provider = fs::u8path(value);
        else if (option == "--recorder")
            o.recorder = fs::u8path(value);
        else if (option == "--settings")
            o.settings = fs::u8path(value);
        else if (option == "--tracks")
            o.tracks = value;
        else if (option == "--max-positions")
            good = parseCount(value, o.maxPositions);
        else if (option == "--idle")
            good = parseSeconds(value, o.idleSeconds);
        else if (option == "--satellites")
            o.satellites = fs::u8path(value);
        else if (option == "--duration")
            good = parseSeconds(value, o.durationSeconds);
        else {
            good = parseCount(value, count) && count <= 1000;
            o.pollMs = static_cast<unsigned>(count);
        }
        if (!good || value.empty()) {
            err << "navhost: " << option << ": bad value \"" << value << "\"\n";
            return false;
        }
    }
    return true;
}

const char* fixText(int fix) {
    switch (fix) {
    case -1:
        return "-";
    case FIX_NONE:
        return "none";
    case FIX_2D:
        return "2D";
    case FIX_3D:
        return "3D";
    default:
        return "other";
    }
}

struct Progress {
    long positions = 0, withFix = 0;
    int fix = -1; // of the last position; -1 before the first
    int inView = 0, used = 0;
    bool satellitesKnown = false;

    std::string line(double elapsedSeconds) const {
        std::ostringstream out;
        out << "positions " << positions << "  fix " << fixText(fix) << "  satellites ";
        if (satellitesKnown)
            out << inView << " in view, " << used << " used";
        else
            out << "-";
        out << "  elapsed " << formatDuration(static_cast<int64_t>(elapsedSeconds * 1000));
        return out.str();
    }
};

// The tracks prefix to give the recorder, from the option or the settings;
// prints the reason and returns the exit code when its folder is missing.
int chooseTracksPrefix(const RecordOptions& o, IniStore& store, const std::string& section,
                       std::string& prefix, std::ostream& err) {
    std::error_code ec;
    if (!o.tracks.empty()) {
        const fs::path folder = fs::absolute(fs::u8path(o.tracks), ec);
        if (ec || !fs::is_directory(folder, ec)) {
            err << "navhost: tracks folder " << o.tracks << " does not exist\n";
            return kNoTracksFolder;
        }
        prefix = folder.u8string();
        if (prefix.back() != pathSeparator() && prefix.back() != '/')
            prefix += pathSeparator();
        store.set(section, "tracks_path", prefix);
        return kOk;
    }
    if (store.get(section, "tracks_path", prefix)) {
        if (!fs::is_directory(tracksFolderOf(prefix), ec)) {
            err << "navhost: the folder of tracks_path \"" << prefix << "\" in "
                << store.path().u8string() << " does not exist\n";
            return kNoTracksFolder;
        }
        return kOk;
    }
    prefix = fs::current_path(ec).u8string();
    if (prefix.empty() || prefix.back() != pathSeparator())
        prefix += pathSeparator();
    store.set(section, "tracks_path", prefix);
    return kOk;
}

// True when the provider's GPS library is the simulated driver and nothing
// names a log for it to replay: no position would ever come.
bool replayWithoutLog() {
#if defined(_WIN32)
    const char kDriver[] = "GPSAPI.DLL";
#else
    const char kDriver[] = "GPSAPI.so";
#endif
    PluginModule driver;
    if (!driver.attach(kDriver) || driver.symbol("SimGpsReplayFinished") == nullptr)
        return false;
    const char* log = std::getenv(SIMGPS_REPLAY_LOG_VARIABLE);
    return log == nullptr || *log == 0;
}

// Why the run left no track file, as far as navhost can tell.
int reportMissingTrack(const Progress& progress, const std::string& recorder,
                       const std::string& prefix, std::ostream& err) {
    err << "navhost: no track file was written under " << prefix << ": ";
    if (progress.positions == 0)
        err << "no position came from the provider\n";
    else if (progress.withFix == 0)
        err << "none of the " << progress.positions << " positions had a fix\n";
    else
        err << "the recorder " << recorder << " got " << progress.withFix
            << " positions with a fix but wrote no GPX file there\n";
    return kNoTrack;
}

void saveSettings(IniStore& store, std::ostream& err) {
    std::string error;
    if (store.changed() && !store.save(error))
        err << "navhost: warning: " << error << "\n";
}

// One line per satellite table handed out: the UTC time of the latest
// position ("-" before the first), the count, then PRN, used, elevation,
// azimuth and SNR of each satellite.
void writeSatellites(std::ostream& out, const GpsRecord* latest, const SatelliteRecord* s,
                     int32_t count) {
    char time[40] = "-";
    if (latest != nullptr)
        std::snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", latest->year,
                      latest->month, latest->day, latest->hour, latest->minute, latest->second,
                      latest->milliseconds);
    out << time << ' ' << count;
    for (int32_t i = 0; i < count; ++i)
        out << ' ' << s[i].prn << ',' << static_cast<int>(s[i].used) << ',' << s[i].elevation << ','
            << s[i].azimuth << ',' << s[i].snr;
    out << '\n';
}

int record(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    RecordOptions o;
    if (!parseRecordOptions(args, o, err)) {
        err << kUsageText;
        return kUsage;
    }

    std::ofstream satelliteLog;
    if (!o.satellites.empty()) {
        satelliteLog.open(o.satellites);
        if (!satelliteLog) {
            err << "navhost: cannot write " << o.satellites.u8string() << "\n";
            return kUsage;
        }
    }

    IniStore store;
    std::string error;
    if (!store.load(o.settings, error)) {
        err << "navhost: " << error << "\n";
        return kSettingsUnreadable;
    }

    PluginModule providerModule, recorderModule;
    DescriptorReport providerReport, recorderReport;
    int code = loadPlugin(providerModule, o.provider, providerReport, err);
    if (code == kOk)
        code = loadPlugin(recorderModule, o.recorder, recorderReport, err);
    if (code != kOk)
        return code;
    const PluginDescriptor* provider = providerReport.descriptor;
    const PluginDescriptor* recorder = recorderReport.descriptor;
    if (provider->kind != PLUGIN_KIND_SUPPLIES_GPS) {
        err << "navhost: " << providerModule.path().u8string() << " (" << providerReport.name
            << ") is of kind " << provider->kind << ", not a provider (16)\n";
        return kWrongKind;
    }
    if (recorder->kind != PLUGIN_KIND_RECEIVES_GPS) {
        err << "navhost: " << recorderModule.path().u8string() << " (" << recorderReport.name
            << ") is of kind " << recorder->kind << ", not a recorder (4)\n";
        return kWrongKind;
    }

    std::string prefix;
    code = chooseTracksPrefix(o, store, recorderReport.name, prefix, err);
    if (code != kOk)
        return code;
    saveSettings(store, err);
    out << "provider: " << providerReport.name << " (" << providerModule.path().u8string()
        << ")\nrecorder: " << recorderReport.name << " (" << recorderModule.path().u8string()
        << ")\nsettings: " << store.path().u8string() << "\ntracks:   " << prefix << "\n";

    const InterruptCatcher catcher;
    SettingsHost host(store);
    if (recorder->init(host.contextFor(recorderReport.name)) != 1) {
        saveSettings(store, err);
        err << "navhost: recorder " << recorderReport.name << ": PluginInit failed\n";
        return kInitFailed;
    }
    saveSettings(store, err);
    if (provider->init(host.contextFor(providerReport.name)) != 1) {
        recorder->deInit();
        saveSettings(store, err);
        err << "navhost: provider " << providerReport.name
            << ": PluginInit failed (is its GPS driver library present?)\n";
        return kInitFailed;
    }
    saveSettings(store, err);
    if (replayWithoutLog()) {
        provider->deInit();
        recorder->deInit();
        err << "navhost: no position source: the simulated GPS driver replays the NMEA log "
               "named by " SIMGPS_REPLAY_LOG_VARIABLE ", which is not set (see navhost --help)\n";
        return kNoPositionSource;
    }
    const bool tracked = !o.noTrack && host.asked(recorderReport.name, "tracks_path");
    const std::vector<TrackFileState> before = listTrackFiles(prefix);

    if (recorder->start() != 1) {
        recorder->deInit();
        provider->deInit();
        err << "navhost: recorder " << recorderReport.name << ": PluginStart failed\n";
        return kStartFailed;
    }
    if (provider->start() != 1) {
        // A provider whose start failed has released what it held.
        recorder->stop();
        recorder->deInit();
        err << "navhost: provider " << providerReport.name
            << ": PluginStart failed (no GPS device? the simulated driver needs "
               "" SIMGPS_REPLAY_LOG_VARIABLE " to name a readable NMEA log and "
               "" SIMGPS_REPLAY_PACE_VARIABLE ", if set, a pace it knows; see navhost --help)\n";
        return kStartFailed;
    }

    typedef std::chrono::steady_clock Clock;
    const Clock::time_point started = Clock::now();
    auto secondsSince = [](Clock::time_point t) {
        return std::chrono::duration<double>(Clock::now() - t).count();
    };
    ReplayEnd replayEnd;
    replayEnd.resolve(providerModule);
    Clock::time_point lastResolve = started, lastPosition = started, lastShown = started;
    Clock::time_point finishedAt;
    bool replayOver = false;
    const bool terminal = &out == &std::cout && stdoutIsTerminal();
    Progress progress;
    std::string reason;

    GpsRecord position;
    std::memset(&position, 0, sizeof position);
    long received = 0; // positions not yet acknowledged
    auto drainPositions = [&] {
        while ((o.maxPositions == 0 || progress.positions < o.maxPositions) &&
               provider->gpsData.getPosition(&position) == 1) {
            recorder->gpsData.setGPSData(&position);
            ++received;
            ++progress.positions;
            progress.fix = position.fixStatus;
            progress.withFix += position.fixStatus != FIX_NONE ? 1 : 0;
            lastPosition = Clock::now();
        }
    };
    for (;;) {
        drainPositions();
        SatelliteRecord satellites[SATELLITE_TABLE_SIZE];
        int32_t count = 0;
        if (provider->getSatellites(satellites, &count) == 1) {
            if (count < 0)
                count = 0;
            if (count > SATELLITE_TABLE_SIZE)
                count = SATELLITE_TABLE_SIZE;
            // The provider hands out a position and its satellites together:
            // one that came in since the drain above is these satellites' own.
            drainPositions();
            if (satelliteLog.is_open())
                writeSatellites(satelliteLog, progress.positions > 0 ? &position : nullptr,
                                satellites, count);
            progress.satellitesKnown = true;
            progress.inView = count;
            progress.used = 0;
            for (int32_t i = 0; i < count; ++i)
                progress.used += satellites[i].used != 0 ? 1 : 0;
        }
        // Acknowledged only now, so that a host paced replay cannot replace
        // the satellites of a position before they are read.
        for (; received > 0; --received)
            replayEnd.acknowledge();

        if (!replayEnd.known() && secondsSince(lastResolve) >= 1) {
            replayEnd.resolve(providerModule);
            lastResolve = Clock::now();
        }
        if (!replayOver && replayEnd.finished()) {
            replayOver = true;
            finishedAt = Clock::now();
        }
        // After the end of the replay, the last positions still on their
        // way through the provider are collected before stopping.
        if (interrupted)
            reason = "interrupted";
        else if (o.maxPositions > 0 && progress.positions >= o.maxPositions)
            reason = "reached " + std::to_string(o.maxPositions) + " positions";
        else if (o.durationSeconds > 0 && secondsSince(started) >= o.durationSeconds)
            reason = "ran for the given duration";
        else if (o.idleSeconds > 0 && secondsSince(lastPosition) >= o.idleSeconds)
            reason = "no new position for the given idle time";
        else if (replayOver && secondsSince(finishedAt) >= 0.5 && secondsSince(lastPosition) >= 0.5)
            reason = "end of the replay";
        if (!reason.empty())
            break;

        if (terminal && secondsSince(lastShown) >= 0.25) {
            out << "\r" << progress.line(secondsSince(started)) << "    " << std::flush;
            lastShown = Clock::now();
        } else if (!terminal && secondsSince(lastShown) >= 5) {
            out << progress.line(secondsSince(started)) << std::endl;
            lastShown = Clock::now();
        }
        sleepMilliseconds(o.pollMs);
    }

    provider->stop();
    recorder->stop();
    provider->deInit();
    recorder->deInit();
    catcher.finished();
    // Every position the driver delivered must have arrived, or the track
    // misses points: said, and in the exit code, never silently.
    const long delivered = reason == "end of the replay" ? replayEnd.positionsDelivered() : -1;
    const bool lost = delivered >= 0 && delivered != progress.positions;
    replayEnd.release();
    out << (terminal ? "\r" : "") << progress.line(secondsSince(started)) << "    \n"
        << "stopped:  " << reason << "\n";
    if (lost)
        err << "navhost: positions lost: received " << progress.positions << " of the " << delivered
            << " the driver delivered\n";

    if (!tracked) {
        out << "track:    not checked ("
            << (o.noTrack ? std::string("--no-track")
                          : recorderReport.name + " does not ask for tracks_path")
            << ")\n";
        return lost ? kPositionsLost : kOk;
    }
    const fs::path trackPath = newestChangedTrack(before, listTrackFiles(prefix));
    if (trackPath.empty())
        return reportMissingTrack(progress, recorderReport.name, prefix, err);
    Track track;
    if (!readGpxTrack(trackPath, track, error)) {
        err << "navhost: " << error << "\n";
        return kTrackUnreadable;
    }
    const TrackSummary s = summarize(track);
    std::ostringstream box;
    box.imbue(std::locale::classic());
    box.setf(std::ios::fixed);
    box.precision(6);
    if (s.points > 0)
        box << "lat " << s.minLatitude << " to " << s.maxLatitude << ", lon " << s.minLongitude
            << " to " << s.maxLongitude;
    else
        box << "-";
    std::string span = "-";
    if (s.timedPoints > 0)
        span = formatIsoTime(s.firstMillis) + " to " + formatIsoTime(s.lastMillis) + " (" +
               formatDuration(s.lastMillis - s.firstMillis) + ")";
    out << "track:    " << trackPath.u8string() << (track.complete ? "" : " (not completed)")
        << "\npoints:   " << s.points << "\ntime:     " << span << "\nbounds:   " << box.str()
        << "\n";
    if (s.points == 0) {
        err << "navhost: the track has no points to draw\n";
        return kTrackUnreadable;
    }
    fs::path picture = trackPath;
    picture.replace_extension(".svg");
    const std::string caption = trackPath.filename().u8string() + ": " + std::to_string(s.points) +
                                " points" + (s.timedPoints > 0 ? ", " + span : std::string());
    if (!writeTrackSvg(track, caption, picture, error)) {
        err << "navhost: " << error << "\n";
        return kTrackUnreadable;
    }
    out << "picture:  " << picture.u8string() << "\n";
    return lost ? kPositionsLost : kOk;
}

} // namespace

int navhostMain(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            err << kUsageText;
            return kUsage;
        }
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "--help" || command == "-h" || command == "help") {
            out << kUsageText << kHelpText << kCheckHelpText;
            return kOk;
        }
        if (command == "inspect")
            return inspect(args, out, err);
        if (command == "record")
            return record(args, out, err);
        if (command == "check")
            return checkCommand(args, out, err);
        err << "navhost: unknown command \"" << command << "\"\n" << kUsageText;
        return kUsage;
    } catch (const std::exception& e) {
        err << "navhost: " << e.what() << "\n";
    } catch (...) {
        err << "navhost: unexpected failure\n";
    }
    return kUnexpected;
}
