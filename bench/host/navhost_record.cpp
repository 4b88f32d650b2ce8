// navhost record: runs a GPS provider and a track recorder together,
// carrying every position from one to the other, and reports on the track
// that comes out.
#include "navhost_record.h"

#include "../../harness/simulated_driver.h"
#include "gpx_track.h"
#include "ini_store.h"
#include "interrupt_catcher.h"
#include "navhost_common.h"
#include "plugin_loader.h"
#include "settings_host.h"
#include "track_svg.h"

#include <algorithm>
#include <chrono>
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

namespace fs = std::filesystem;

namespace navhost {

namespace {

// ---- Options ----

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

// Stores VALUE for OPTION, one of those taking a value; false when it is
// not a good one.
bool setOption(const std::string& option, const std::string& value, RecordOptions& o) {
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
    return good && !value.empty();
}

// Parses the options of "record"; false (after a message) on a bad one.
bool parseRecordOptions(const std::vector<std::string>& args, RecordOptions& o, std::ostream& err) {
    const fs::path folder = programDirectory();
    o.provider = folder / libraryFileName("orvane");
    o.recorder = folder / libraryFileName("wendmark");
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
        if (!setOption(option, value, o)) {
            err << "navhost: " << option << ": bad value \"" << value << "\"\n";
            return false;
        }
    }
    return true;
}

// ---- Before the run ----

// FOLDER as a tracks prefix: the recorder appends the file name to it.
std::string folderPrefix(const fs::path& folder) {
    std::string prefix = folder.u8string();
    if (!endsWithSeparator(prefix))
        prefix += kPathSeparator;
    return prefix;
}

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
        prefix = folderPrefix(folder);
    } else if (store.get(section, "tracks_path", prefix)) {
        if (!fs::is_directory(tracksFolderOf(prefix), ec)) {
            err << "navhost: the folder of tracks_path \"" << prefix << "\" in "
                << store.path().u8string() << " does not exist\n";
            return kNoTracksFolder;
        }
        return kOk;
    } else {
        prefix = folderPrefix(fs::current_path(ec));
    }
    store.set(section, "tracks_path", prefix);
    return kOk;
}

void saveSettings(IniStore& store, std::ostream& err) {
    std::string error;
    if (store.changed() && !store.save(error))
        err << "navhost: warning: " << error << "\n";
}

// Opens the file for --satellites, when given; false (after a message) when
// it cannot be written.
bool openSatelliteLog(const RecordOptions& o, std::ofstream& log, std::ostream& err) {
    if (o.satellites.empty())
        return true;
    log.open(o.satellites);
    if (!log) {
        err << "navhost: cannot write " << o.satellites.u8string() << "\n";
        return false;
    }
    return true;
}

// The two plugins of a run.
struct Plugins {
    PluginModule providerModule, recorderModule;
    DescriptorReport providerReport, recorderReport;
    const PluginDescriptor* provider = nullptr;
    const PluginDescriptor* recorder = nullptr;
};

// Whether the plugin loaded as MODULE is of KIND, the one its ROLE needs;
// says so when not.
bool ofKind(const PluginModule& module, const DescriptorReport& report, int32_t kind,
            const char* role, std::ostream& err) {
    if (report.descriptor->kind == kind)
        return true;
    err << "navhost: " << module.path().u8string() << " (" << report.name << ") is of kind "
        << report.descriptor->kind << ", not a " << role << " (" << kind << ")\n";
    return false;
}

// Loads both plugins and checks that each is of the kind its role needs;
// prints the reason and returns the exit code when not.
int loadPlugins(const RecordOptions& o, Plugins& p, std::ostream& err) {
    int code = loadPlugin(p.providerModule, o.provider, p.providerReport, err);
    if (code == kOk)
        code = loadPlugin(p.recorderModule, o.recorder, p.recorderReport, err);
    if (code != kOk)
        return code;
    p.provider = p.providerReport.descriptor;
    p.recorder = p.recorderReport.descriptor;
    if (!ofKind(p.providerModule, p.providerReport, PLUGIN_KIND_SUPPLIES_GPS, "provider", err) ||
        !ofKind(p.recorderModule, p.recorderReport, PLUGIN_KIND_RECEIVES_GPS, "recorder", err))
        return kWrongKind;
    return kOk;
}

// Initialises the recorder, then the provider, saving what each stored in
// its settings; on a failure, or without a position source, the plugins
// already initialised are de-initialised again.
int initPlugins(const Plugins& p, SettingsHost& host, IniStore& store, std::ostream& err) {
    if (p.recorder->init(host.contextFor(p.recorderReport.name)) != 1) {
        saveSettings(store, err);
        err << "navhost: recorder " << p.recorderReport.name << ": PluginInit failed\n";
        return kInitFailed;
    }
    saveSettings(store, err);
    if (p.provider->init(host.contextFor(p.providerReport.name)) != 1) {
        p.recorder->deInit();
        saveSettings(store, err);
        err << "navhost: provider " << p.providerReport.name
            << ": PluginInit failed (is its GPS driver library present?)\n";
        return kInitFailed;
    }
    saveSettings(store, err);
    if (replayWithoutLog()) {
        p.provider->deInit();
        p.recorder->deInit();
        err << "navhost: no position source: the simulated GPS driver replays the NMEA log "
               "named by " SIMGPS_REPLAY_LOG_VARIABLE ", which is not set (see navhost --help)\n";
        return kNoPositionSource;
    }
    return kOk;
}

// Starts the recorder, then the provider; on a failure both end up
// de-initialised.
int startPlugins(const Plugins& p, std::ostream& err) {
    if (p.recorder->start() != 1) {
        p.recorder->deInit();
        p.provider->deInit();
        err << "navhost: recorder " << p.recorderReport.name << ": PluginStart failed\n";
        return kStartFailed;
    }
    if (p.provider->start() != 1) {
        // A provider whose start failed has released what it held.
        p.recorder->stop();
        p.recorder->deInit();
        err << "navhost: provider " << p.providerReport.name
            << ": PluginStart failed (no GPS device? the simulated driver needs "
               "" SIMGPS_REPLAY_LOG_VARIABLE " to name a readable NMEA log and "
               "" SIMGPS_REPLAY_PACE_VARIABLE ", if set, a pace it knows; see navhost --help)\n";
        return kStartFailed;
    }
    return kOk;
}

// ---- The run ----

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

typedef std::chrono::steady_clock Clock;

// The end reason after which the driver's count of delivered positions is
// compared with the host's.
const char kReplayEnded[] = "end of the replay";

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// The host's side of a started run: polls the provider, hands every
// position to the recorder, shows the progress, decides when the run ends
// and then stops both plugins.
class Run {
  public:
    Run(const RecordOptions& o, const Plugins& p, const InterruptCatcher& catcher,
        std::ofstream& satelliteLog, std::ostream& out)
        : o_(o), p_(p), catcher_(catcher), satelliteLog_(satelliteLog), out_(out),
          terminal_(&out == &std::cout && stdoutIsTerminal()) {
        std::memset(&position_, 0, sizeof position_);
        replayEnd_.resolve(p_.providerModule);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void poll();
    // Stops and de-initialises both plugins and reports the end of the
    // run; true when positions were lost.
    bool stop(std::ostream& err);
    const Progress& progress() const { return progress_; }

  private:
    void drainPositions();
    void pollSatellites();
    void watchReplayEnd();
    std::string endReason() const;
    void showProgress();

    const RecordOptions& o_;
    const Plugins& p_;
    const InterruptCatcher& catcher_;
    std::ofstream& satelliteLog_;
    std::ostream& out_;
    const bool terminal_;
    const Clock::time_point started_ = Clock::now();
    Clock::time_point lastResolve_ = started_, lastPosition_ = started_, lastShown_ = started_;
    Clock::time_point finishedAt_;
    bool replayOver_ = false;
    ReplayEnd replayEnd_;
    Progress progress_;
    std::string reason_;
    GpsRecord position_;
    long received_ = 0; // positions not yet acknowledged
};

void Run::drainPositions() {
    // A provider hands out each position once, so one drain finds a few at
    // most. The bound keeps one that never runs out from holding the run in
    // here, out of reach of its end conditions and of Ctrl-C.
    const int kMostPerDrain = 100;
    for (int n = 0;
         n < kMostPerDrain && (o_.maxPositions == 0 || progress_.positions < o_.maxPositions) &&
         p_.provider->gpsData.getPosition(&position_) == 1;
         ++n) {
        p_.recorder->gpsData.setGPSData(&position_);
        ++received_;
        ++progress_.positions;
        progress_.fix = position_.fixStatus;
        progress_.withFix += position_.fixStatus != FIX_NONE ? 1 : 0;
        lastPosition_ = Clock::now();
    }
}

void Run::pollSatellites() {
    SatelliteRecord satellites[SATELLITE_TABLE_SIZE];
    int32_t count = 0;
    if (p_.provider->getSatellites(satellites, &count) != 1)
        return;
    if (count < 0)
        count = 0;
    if (count > SATELLITE_TABLE_SIZE)
        count = SATELLITE_TABLE_SIZE;
    // The provider hands out a position and its satellites together: one
    // that came in since the last drain is these satellites' own.
    drainPositions();
    if (satelliteLog_.is_open())
        writeSatellites(satelliteLog_, progress_.positions > 0 ? &position_ : nullptr, satellites,
                        count);
    progress_.satellitesKnown = true;
    progress_.inView = count;
    progress_.used = 0;
    for (int32_t i = 0; i < count; ++i)
        progress_.used += satellites[i].used != 0 ? 1 : 0;
}

void Run::watchReplayEnd() {
    if (!replayEnd_.known() && secondsSince(lastResolve_) >= 1) {
        replayEnd_.resolve(p_.providerModule);
        lastResolve_ = Clock::now();
    }
    if (!replayOver_ && replayEnd_.finished()) {
        replayOver_ = true;
        finishedAt_ = Clock::now();
    }
}

// Why the run ends now; empty while it goes on. After the end of the
// replay, the last positions still on their way through the provider are
// collected before stopping.
std::string Run::endReason() const {
    if (catcher_.requested())
        return "interrupted";
    if (o_.maxPositions > 0 && progress_.positions >= o_.maxPositions)
        return "reached " + std::to_string(o_.maxPositions) + " positions";
    if (o_.durationSeconds > 0 && secondsSince(started_) >= o_.durationSeconds)
        return "ran for the given duration";
    if (o_.idleSeconds > 0 && secondsSince(lastPosition_) >= o_.idleSeconds)
        return "no new position for the given idle time";
    if (replayOver_ && secondsSince(finishedAt_) >= 0.5 && secondsSince(lastPosition_) >= 0.5)
        return kReplayEnded;
    return std::string();
}

void Run::showProgress() {
    if (terminal_ && secondsSince(lastShown_) >= 0.25) {
        out_ << "\r" << progress_.line(secondsSince(started_)) << "    " << std::flush;
        lastShown_ = Clock::now();
    } else if (!terminal_ && secondsSince(lastShown_) >= 5) {
        out_ << progress_.line(secondsSince(started_)) << std::endl;
        lastShown_ = Clock::now();
    }
}

void Run::poll() {
    for (;;) {
        drainPositions();
        pollSatellites();
        // Acknowledged only now, so that a host paced replay cannot replace
        // the satellites of a position before they are read.
        for (; received_ > 0; --received_)
            replayEnd_.acknowledge();
        watchReplayEnd();
        reason_ = endReason();
        if (!reason_.empty())
            return;
        showProgress();
        sleepMilliseconds(o_.pollMs);
    }
}

bool Run::stop(std::ostream& err) {
    p_.provider->stop();
    p_.recorder->stop();
    p_.provider->deInit();
    p_.recorder->deInit();
    catcher_.finished();
    // Every position the driver delivered must have arrived, or the track
    // misses points: said, and in the exit code, never silently.
    const long delivered = reason_ == kReplayEnded ? replayEnd_.positionsDelivered() : -1;
    const bool lost = delivered >= 0 && delivered != progress_.positions;
    replayEnd_.release();
    out_ << (terminal_ ? "\r" : "") << progress_.line(secondsSince(started_)) << "    \n"
         << "stopped:  " << reason_ << "\n";
    if (lost)
        err << "navhost: positions lost: received " << progress_.positions << " of the "
            << delivered << " the driver delivered\n";
    return lost;
}

// ---- The track ----

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

std::string boundsText(const TrackSummary& s) {
    if (s.points == 0)
        return "-";
    std::ostringstream box;
    box.imbue(std::locale::classic());
    box.setf(std::ios::fixed);
    box.precision(6);
    box << "lat " << s.minLatitude << " to " << s.maxLatitude << ", lon " << s.minLongitude
        << " to " << s.maxLongitude;
    return box.str();
}

std::string spanText(const TrackSummary& s) {
    if (s.timedPoints == 0)
        return "-";
    return formatIsoTime(s.firstMillis) + " to " + formatIsoTime(s.lastMillis) + " (" +
           formatDuration(s.lastMillis - s.firstMillis) + ")";
}

// Reads the track at PATH back, prints what it holds and draws it beside
// it (same name, .svg).
int reportTrack(const fs::path& trackPath, std::ostream& out, std::ostream& err) {
    Track track;
    std::string error;
    if (!readGpxTrack(trackPath, track, error)) {
        err << "navhost: " << error << "\n";
        return kTrackUnreadable;
    }
    const TrackSummary s = summarize(track);
    const std::string span = spanText(s);
    out << "track:    " << trackPath.u8string() << (track.complete ? "" : " (not completed)")
        << "\npoints:   " << s.points << "\ntime:     " << span << "\nbounds:   " << boundsText(s)
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
    return kOk;
}

// ---- The command ----

// Reads the settings, loads both plugins and chooses the tracks prefix,
// then says what the run is made of; prints the reason and returns the exit
// code when one of them fails.
int prepareRun(const RecordOptions& o, IniStore& store, Plugins& p, std::string& prefix,
               std::ostream& out, std::ostream& err) {
    std::string error;
    if (!store.load(o.settings, error)) {
        err << "navhost: " << error << "\n";
        return kSettingsUnreadable;
    }
    int code = loadPlugins(o, p, err);
    if (code == kOk)
        code = chooseTracksPrefix(o, store, p.recorderReport.name, prefix, err);
    if (code != kOk)
        return code;
    saveSettings(store, err);
    out << "provider: " << p.providerReport.name << " (" << p.providerModule.path().u8string()
        << ")\nrecorder: " << p.recorderReport.name << " (" << p.recorderModule.path().u8string()
        << ")\nsettings: " << store.path().u8string() << "\ntracks:   " << prefix << "\n";
    return kOk;
}

} // namespace

int recordCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    RecordOptions o;
    if (!parseRecordOptions(args, o, err)) {
        err << kUsageText;
        return kUsage;
    }
    std::ofstream satelliteLog;
    if (!openSatelliteLog(o, satelliteLog, err))
        return kUsage;
    IniStore store;
    Plugins p;
    std::string prefix;
    int code = prepareRun(o, store, p, prefix, out, err);
    if (code != kOk)
        return code;

    const InterruptCatcher catcher;
    SettingsHost host(store);
    code = initPlugins(p, host, store, err);
    if (code != kOk)
        return code;
    const bool tracked = !o.noTrack && host.asked(p.recorderReport.name, "tracks_path");
    const std::vector<TrackFileState> before = listTrackFiles(prefix);
    code = startPlugins(p, err);
    if (code != kOk)
        return code;
    Run run(o, p, catcher, satelliteLog, out);
    run.poll();
    const bool lost = run.stop(err);

    if (!tracked) {
        out << "track:    not checked ("
            << (o.noTrack ? std::string("--no-track")
                          : p.recorderReport.name + " does not ask for tracks_path")
            << ")\n";
        return lost ? kPositionsLost : kOk;
    }
    const fs::path trackPath = newestChangedTrack(before, listTrackFiles(prefix));
    if (trackPath.empty())
        return reportMissingTrack(run.progress(), p.recorderReport.name, prefix, err);
    code = reportTrack(trackPath, out, err);
    return code == kOk && lost ? kPositionsLost : code;
}

} // namespace navhost
