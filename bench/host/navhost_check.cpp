// navhost check PLUGIN: loads the plugin, checks its descriptor, then runs
// it through the orders of calls the contract allows (init/start/stop/
// deInit and their repeats, data calls before start and after stop, with
// the settings services absent, present and holding values) and reports
// every contract violation on a line of its own. A crash is reported too,
// with the step that caused it, and so is an entry call that does not
// return.
#include "navhost_check.h"

#include "../../harness/process_resources.h"
#include "navhost_common.h"
#include "plugin_loader.h"
#include "settings_host.h"
#include "text.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace navhost {

const char kCheckHelpText[] =
    "\n"
    "check PLUGIN...\n"
    "    Checks plugin libraries against the plugin contract, for plugin authors:\n"
    "    each one's descriptor, then its lifecycle in every order the contract allows:\n"
    "    data calls before PluginInit and before PluginStart (a provider must hand\n"
    "    out nothing), PluginInit with the settings services absent, present and\n"
    "    holding the values the plugin seeded, PluginStart/PluginStop repeated, data\n"
    "    calls after PluginStop, PluginStop without PluginStart, PluginDeInit after\n"
    "    each cycle, and PluginDeInit without PluginStop. After each PluginDeInit no\n"
    "    thread and no handle the plugin opened may be left, and the library must\n"
    "    unload cleanly. A provider must not hand out one position twice. Recorders\n"
    "    get positions without a fix, so that nothing is recorded, except after the\n"
    "    last PluginDeInit, when a recorder must record nothing; the run happens in\n"
    "    a scratch folder that is removed afterwards. An entry call that has not\n"
    "    returned after 10 seconds ends the check. Prints one line per violation\n"
    "    (\"violation: ...\") and exits with (for several plugins, the worst)\n"
    "    0   the plugin keeps the contract\n"
    "    2-4 as for record: the library is missing, not loadable, or has no entry\n"
    "    20  contract violations were found\n"
    "    21  the plugin crashed (the step is named)\n"
    "    22  an entry call did not return (the step is named)\n";

namespace {

const int kViolations = 20;
const int kCrashed = 21;
const int kBlocked = 22;

// How long an entry call may take before the check gives up on it.
const std::chrono::seconds kEntryTimeout(10);

// ---- Crashes and calls that do not return ----

// What the checker is doing, for the reports; static text only.
const char* volatile currentStep = "loading";

// Reports WHAT, during the current step, on standard error.
void writeReport(const char* what) {
    char text[512];
    std::snprintf(text, sizeof text, "violation: the plugin %s during: %s\n", what, currentStep);
#if defined(_WIN32)
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
              nullptr);
#else
    if (write(STDERR_FILENO, text, std::strlen(text)) < 0)
        return;
#endif
}

#if defined(_WIN32)
LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* e) {
    char what[64];
    std::snprintf(what, sizeof what, "crashed (exception 0x%08lX)",
                  static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode));
    writeReport(what);
    ExitProcess(kCrashed);
}
#else
const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

void onCrashSignal(int signal) {
    writeReport(signal == SIGSEGV ? "crashed (SIGSEGV)"
                : signal == SIGBUS ? "crashed (SIGBUS)"
                : signal == SIGILL ? "crashed (SIGILL)"
                : signal == SIGFPE ? "crashed (SIGFPE)"
                                   : "crashed (SIGABRT)");
    _exit(kCrashed);
}
#endif

// Turns a crash anywhere in the process into a report and exit code 21,
// from construction to destruction.
class CrashGuard {
  public:
    CrashGuard() {
#if defined(_WIN32)
        old_ = SetUnhandledExceptionFilter(&onUnhandledException);
#else
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = &onCrashSignal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kSignalCount; ++i)
            sigaction(kCrashSignals[i], &action, &old_[i]);
#endif
    }
    ~CrashGuard() {
#if defined(_WIN32)
        SetUnhandledExceptionFilter(old_);
#else
        for (size_t i = 0; i < kSignalCount; ++i)
            sigaction(kCrashSignals[i], &old_[i], nullptr);
#endif
    }
    CrashGuard(const CrashGuard&) = delete;
    CrashGuard& operator=(const CrashGuard&) = delete;

  private:
#if defined(_WIN32)
    LPTOP_LEVEL_EXCEPTION_FILTER old_;
#else
    static const size_t kSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];
    struct sigaction old_[kSignalCount];
#endif
};

// When the entry call under way began (steady clock ticks), 0 when none is.
std::atomic<std::chrono::steady_clock::rep> callBegan(0);

// Runs one entry call of the plugin as STEP, under the watchdog.
template <class Call> decltype(auto) entry(const char* step, Call call) {
    struct Under {
        explicit Under(const char* s) {
            currentStep = s;
            callBegan = std::chrono::steady_clock::now().time_since_epoch().count();
        }
        ~Under() { callBegan = 0; }
    } under(step);
    return call();
}

// Ends the process with a report and exit code 22 when an entry call has
// not returned within kEntryTimeout, from construction to destruction.
class Watchdog {
  public:
    Watchdog() : thread_([this] { watch(); }) {}
    ~Watchdog() {
        done_ = true;
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    void watch() {
        using Clock = std::chrono::steady_clock;
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const Clock::rep began = callBegan;
            if (began != 0 &&
                Clock::now() - Clock::time_point(Clock::duration(began)) > kEntryTimeout) {
                char what[64];
                std::snprintf(what, sizeof what, "did not return within %lld s",
                              static_cast<long long>(kEntryTimeout.count()));
                writeReport(what);
                std::_Exit(kBlocked);
            }
        }
    }
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// ---- What the process holds ----

// The entries of FOLDER.
size_t entryCount(const char* folder) {
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator i(folder, ec), end; !ec && i != end; i.increment(ec))
        ++n;
    return n;
}

struct Holdings {
    size_t threads, handles;
    static Holdings now() {
        const ProcessResources r = processResources();
        return Holdings{static_cast<size_t>(r.threads), static_cast<size_t>(r.handles)};
    }
};

// ---- The checker's host services ----

enum class Settings { Absent, Present };

// One HostContext; GetSetting answers from what SetSetting stored. Every
// string handed out stays valid until the check ends.
class CheckHost : public PluginHost {
  public:
    explicit CheckHost(std::vector<std::string>& violations) : violations_(violations) {}

    HostContext* context(Settings settings) {
        const bool present = settings == Settings::Present;
        setTable(present, present ? kTableSize : 0);
        return PluginHost::context();
    }
    void setInInit(bool inInit) { inInit_ = inInit; }
    size_t stored() const { return values_.size(); }

  private:
    // A string from the plugin: not null and terminated within reason.
    bool readable(const WideChar* s, const char* service, const char* what) {
        size_t n = 0;
        while (s != nullptr && n < 4096 && s[n] != 0)
            ++n;
        if (s != nullptr && n < 4096)
            return true;
        violations_.push_back(std::string(service) + " was given " +
                              (s == nullptr ? "a null " : "an unterminated ") + what);
        return false;
    }
    void calledFromInit(const char* service) {
        if (!inInit_)
            violations_.push_back(std::string(service) + " was called outside PluginInit");
    }

    int32_t getSetting(const Caller&, const WideChar* key, const WideChar** value) override {
        calledFromInit("GetSetting");
        if (value == nullptr) {
            violations_.push_back("GetSetting was given a null value pointer");
            return 0;
        }
        if (!readable(key, "GetSetting", "key"))
            return 0;
        const auto found = values_.find(WideString(key));
        if (found == values_.end())
            return 0;
        *value = handOut(found->second);
        return 1;
    }
    void setSetting(const Caller&, const WideChar* key, const WideChar* value) override {
        calledFromInit("SetSetting");
        if (readable(key, "SetSetting", "key") && readable(value, "SetSetting", "value"))
            values_[WideString(key)] = WideString(value);
    }

    std::vector<std::string>& violations_;
    std::map<WideString, WideString> values_;
    bool inInit_ = false;
};

// ---- The lifecycle runs ----

class Checker {
  public:
    Checker(const PluginDescriptor* d, std::ostream& out) : d_(d), out_(out), host_(found_) {}

    void run();
    bool violated() const { return violations_ > 0; }
    // Whether the library may be unloaded: no thread of it is left.
    bool unloadable() const { return threadsLeft_ == 0; }

  private:
    bool provider() const { return d_->kind == PLUGIN_KIND_SUPPLIES_GPS; }
    void report(const std::string& scenario);
    void expectResult(const char* entry, int32_t result, bool zeroAllowed);
    void dataMustBeEmpty(const char* when, bool afterDeInit = false);
    void exerciseData(int rounds);
    void cycle(const char* scenario, Settings settings, int starts, bool stopped);
    void expectNothingLeft(const Holdings& before);
    void expectDataIgnoredAfterDeInit();

    const PluginDescriptor* d_;
    std::ostream& out_;
    std::vector<std::string> found_;
    CheckHost host_;
    int violations_ = 0;
    size_t threadsLeft_ = 0;
    // The last position handed out in this cycle, if any.
    GpsRecord lastHandedOut_;
    bool handedOut_ = false;
    bool repeatSeen_ = false;
};

void Checker::report(const std::string& scenario) {
    for (const std::string& v : found_)
        out_ << "violation: " << scenario << ": " << v << "\n";
    violations_ += static_cast<int>(found_.size());
    out_ << (found_.empty() ? "ok:        " : "failed:    ") << scenario << "\n" << std::flush;
    found_.clear();
}

void Checker::expectResult(const char* entry, int32_t result, bool zeroAllowed) {
    if (result == 1 || (zeroAllowed && result == 0))
        return;
    found_.push_back(std::string(entry) + " returned " + std::to_string(result) + ", expected " +
                     (zeroAllowed ? "0 or 1" : "1"));
}

// A provider hands nothing out before PluginStart and after PluginDeInit:
// 0, and nothing written.
void Checker::dataMustBeEmpty(const char* when, bool afterDeInit) {
    if (!provider())
        return;
    GpsRecord record;
    std::memset(&record, 0xA5, sizeof record);
    GpsRecord untouched = record;
    const int32_t got = entry(afterDeInit ? "PluginGetPosition after PluginDeInit"
                                          : "PluginGetPosition before PluginStart",
                              [&] { return d_->gpsData.getPosition(&record); });
    if (got != 0 || std::memcmp(&record, &untouched, sizeof record) != 0)
        found_.push_back(std::string("PluginGetPosition handed out a position ") + when +
                         " (returned " + std::to_string(got) + ")");
    if (d_->getSatellites == nullptr)
        return;
    SatelliteRecord satellites[SATELLITE_TABLE_SIZE];
    std::memset(satellites, 0xA5, sizeof satellites);
    int32_t count = -7;
    const int32_t gotSatellites = entry(afterDeInit ? "PluginGetSatellites after PluginDeInit"
                                                    : "PluginGetSatellites before PluginStart",
                                        [&] { return d_->getSatellites(satellites, &count); });
    if (gotSatellites != 0 || count != -7)
        found_.push_back(std::string("PluginGetSatellites handed out satellites ") + when +
                         " (returned " + std::to_string(gotSatellites) + ")");
}

// Data calls as a host makes them; a provider's count must fit the table,
// and no position may come out twice.
void Checker::exerciseData(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        GpsRecord record;
        std::memset(&record, 0, sizeof record);
        if (!provider()) {
            // fix status 0: nothing to record
            entry("PluginSetGPSData", [&] { d_->gpsData.setGPSData(&record); });
            continue;
        }
        const int32_t got =
            entry("PluginGetPosition", [&] { return d_->gpsData.getPosition(&record); });
        expectResult("PluginGetPosition", got, true);
        if (got == 1 && handedOut_ && std::memcmp(&record, &lastHandedOut_, sizeof record) == 0 &&
            !repeatSeen_) {
            found_.push_back("PluginGetPosition handed out the same position twice");
            repeatSeen_ = true;
        }
        if (got == 1) {
            lastHandedOut_ = record;
            handedOut_ = true;
        }
        if (d_->getSatellites != nullptr) {
            SatelliteRecord satellites[SATELLITE_TABLE_SIZE];
            int32_t count = 0;
            if (entry("PluginGetSatellites",
                      [&] { return d_->getSatellites(satellites, &count); }) == 1 &&
                (count < 0 || count > SATELLITE_TABLE_SIZE))
                found_.push_back("PluginGetSatellites gave count " + std::to_string(count));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// After PluginDeInit, the process holds what it held before PluginInit.
// Threads get a moment to be gone once joined.
void Checker::expectNothingLeft(const Holdings& before) {
    Holdings after = Holdings::now();
    for (int i = 0; i < 25 && (after.threads > before.threads || after.handles > before.handles);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        after = Holdings::now();
    }
    threadsLeft_ = after.threads > before.threads ? after.threads - before.threads : 0;
    if (threadsLeft_ > 0)
        found_.push_back(std::to_string(threadsLeft_) +
                         " thread(s) still running after PluginDeInit");
    if (after.handles > before.handles)
        found_.push_back(std::to_string(after.handles - before.handles) +
                         " handle(s) left open after PluginDeInit (by the plugin or a "
                         "library it loaded)");
}

// Data after PluginDeInit: a provider hands nothing out, and a recorder
// given positions with a fix opens nothing and writes nothing.
void Checker::expectDataIgnoredAfterDeInit() {
    dataMustBeEmpty("after PluginDeInit", true);
    if (provider())
        return;
    const Holdings before = Holdings::now();
    const size_t files = entryCount(".");
    GpsRecord record;
    std::memset(&record, 0, sizeof record);
    record.latitude = 48.0f;
    record.longitude = 11.0f;
    record.fixStatus = FIX_3D;
    for (int i = 0; i < 3; ++i)
        entry("PluginSetGPSData after PluginDeInit", [&] { d_->gpsData.setGPSData(&record); });
    const size_t handles = Holdings::now().handles;
    const size_t opened = handles > before.handles ? handles - before.handles : 0;
    const size_t filesNow = entryCount(".");
    const size_t made = filesNow > files ? filesNow - files : 0;
    if (opened > 0 || made > 0)
        found_.push_back("PluginSetGPSData after PluginDeInit still records (" +
                         std::to_string(opened) + " handle(s) opened, " + std::to_string(made) +
                         " file(s) made)");
}

// One PluginInit ... PluginDeInit, with STARTS PluginStart calls, each
// followed by PluginStop unless STOPPED is false.
void Checker::cycle(const char* scenario, Settings settings, int starts, bool stopped) {
    const Holdings before = Holdings::now();
    handedOut_ = false;
    repeatSeen_ = false;
    host_.setInInit(true);
    const int32_t initialised =
        entry("PluginInit", [&] { return d_->init(host_.context(settings)); });
    host_.setInInit(false);
    expectResult("PluginInit", initialised, true);
    if (initialised == 1) {
        dataMustBeEmpty("after PluginInit, before PluginStart");
        expectResult("PluginStop without PluginStart",
                     entry("PluginStop without PluginStart", [&] { return d_->stop(); }), false);
        for (int i = 0; i < starts; ++i) {
            const int32_t started = entry("PluginStart", [&] { return d_->start(); });
            expectResult("PluginStart", started, true);
            if (started == 1)
                exerciseData(provider() ? 30 : 3);
            if (!stopped)
                continue;
            expectResult("PluginStop", entry("PluginStop", [&] { return d_->stop(); }), false);
            exerciseData(2); // allowed after PluginStop
        }
    } else {
        out_ << "note:      " << scenario << ": PluginInit returned " << initialised
             << ", so only PluginDeInit follows\n";
    }
    expectResult("PluginDeInit", entry("PluginDeInit", [&] { return d_->deInit(); }), false);
    expectNothingLeft(before);
    if (!stopped)
        expectDataIgnoredAfterDeInit();
    report(scenario);
}

void Checker::run() {
    dataMustBeEmpty("before PluginInit");
    report("data calls before PluginInit");
    cycle("settings services absent; PluginStart/PluginStop once", Settings::Absent, 1, true);
    if (threadsLeft_ > 0)
        return; // a second cycle would only pile up threads
    cycle("settings services present, empty store; PluginStart/PluginStop twice", Settings::Present,
          2, true);
    cycle(host_.stored() > 0 ? "settings holding the values the plugin seeded"
                             : "settings services present again (nothing was seeded)",
          Settings::Present, 1, true);
    cycle("PluginInit then PluginDeInit, no PluginStart", Settings::Present, 0, true);
    if (threadsLeft_ > 0)
        return;
    cycle("PluginStart then PluginDeInit without PluginStop; data calls after PluginDeInit",
          Settings::Present, 1, false);
}

// Runs inside FOLDER, a scratch folder, and comes back.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::error_code ec;
        previous_ = fs::current_path(ec);
        path_ = fs::temp_directory_path(ec) /
                ("navhost-check-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        if (fs::create_directories(path_, ec))
            fs::current_path(path_, ec);
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::current_path(previous_, ec);
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

  private:
    fs::path previous_, path_;
};

// Checks one library; the exit code for it.
int checkOne(const fs::path& path, std::ostream& out, std::ostream& err) {
    // Not unloaded at all while a thread of it may still run.
    std::unique_ptr<PluginModule> module(new PluginModule);
    const int code = entry("loading the library", [&] { return loadLibrary(*module, path, err); });
    if (code != kOk)
        return code;
    out << "library:   " << module->path().u8string() << "\n";
    const DescriptorReport report =
        entry("pluginPreInitMethod", [&] { return inspectDescriptor(module->entry()); });
    for (const std::string& problem : report.problems)
        out << "violation: descriptor: " << problem << "\n";
    if (!report.conforms()) {
        out << "failed:    descriptor\n";
        return kViolations;
    }
    out << "ok:        descriptor (" << report.name << ", kind " << report.descriptor->kind
        << ")\n";
    Checker checker(report.descriptor, out);
    checker.run();
    if (checker.unloadable()) {
        entry("unloading the library after PluginDeInit", [&] { module->unload(); });
        // A thread that outlived PluginDeInit crashes here, in unmapped code.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } else {
        out << "violation: the library cannot be unloaded safely: a thread of it still runs "
               "(left loaded)\n";
        module.release();
    }
    const bool clean = !checker.violated() && checker.unloadable();
    out << (clean ? "the plugin keeps the contract\n" : "the plugin breaks the contract\n")
        << std::flush;
    return clean ? kOk : kViolations;
}

} // namespace

int checkCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << "usage: navhost check PLUGIN...\n";
        return kUsage;
    }
    // Named from where navhost was started, not from the scratch folder.
    std::vector<fs::path> paths;
    for (const std::string& arg : args)
        paths.push_back(fs::absolute(fs::u8path(arg)));
    const CrashGuard guard;
    const Watchdog watchdog;
    const ScratchFolder scratch;
    int worst = kOk;
    for (const fs::path& path : paths) {
        const int code = checkOne(path, out, err);
        // A plugin that breaks the contract outweighs one that is missing.
        if (code == kViolations || worst == kOk)
            worst = code;
    }
    return worst;
}

} // namespace navhost
