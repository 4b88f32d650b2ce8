#include "replay.h"

#include "driver_state.h"
#include "epoch.h"
#include "nmea.h"

#include "../../platform/gps_driver.h"
#include "../../platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <cwchar>
#include <io.h>
#else
#include <sys/stat.h>
#endif

namespace gpsapi {
namespace {

constexpr int64_t kMaxGapMs = 10000; // a longer pause in the log is cut to this
constexpr int64_t kDayMs = 24 * 3600 * 1000;
constexpr size_t kLineCapacity = 256;
// A line cut at the capacity must still read as too long for a sentence.
static_assert(kLineCapacity > nmea::kMaxSentenceLength, "line buffer too small");
constexpr int64_t kReceiptWaitMs = 5000;
// A reading that carries any of these is counted as a position delivered:
// the time, the position and its motion, altitudes and dilutions, nothing
// of the satellites.
constexpr uint32_t kPositionFields =
    GPS_VALID_UTC_TIME | GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE | GPS_VALID_SPEED |
    GPS_VALID_HEADING | GPS_VALID_MAGNETIC_VARIATION | GPS_VALID_ALTITUDE_WRT_SEA_LEVEL |
    GPS_VALID_ALTITUDE_WRT_ELLIPSOID | GPS_VALID_POSITION_DILUTION_OF_PRECISION |
    GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION | GPS_VALID_VERTICAL_DILUTION_OF_PRECISION;

struct Pace {
    bool host;       // each epoch waits for the fetch and the host's receipt
    double multiple; // of the log's own rate
};

// Set and cleared by replayStart and replayStop, which the driver serialises.
PlatformHandle thread;
std::FILE* logFile;
Pace pace;

// Guarded by stateLock.
bool stopRequested;

bool sameWord(const char* a, const char* b) {
    for (; *a != 0 && *b != 0; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        if (x != *b)
            return false;
    }
    return *a == 0 && *b == 0;
}

// Empty: the log's rate. "host", or a decimal number above zero.
bool readPace(const char* text, Pace* out) {
    out->host = false;
    out->multiple = 1.0;
    if (text == nullptr || *text == 0)
        return true;
    if (sameWord(text, "host")) {
        out->host = true;
        return true;
    }
    double v = 0, scale = 1;
    bool digits = false, point = false;
    for (const char* p = text; *p != 0; ++p) {
        if (*p == '.' && !point) {
            point = true;
        } else if (*p >= '0' && *p <= '9' && v < 1e9) {
            digits = true;
            if (point)
                v += (*p - '0') * (scale /= 10);
            else
                v = v * 10 + (*p - '0');
        } else {
            return false;
        }
    }
    if (!digits || v <= 0)
        return false;
    out->multiple = v;
    return true;
}

// Reads one line without its ending; false at the end of the file. LF,
// CR LF and a lone CR all end a line (the empty lines between a CR and an
// LF are ignored by the parser). A line longer than the buffer is read to
// its end and kept cut, which the parser then rejects as too long.
bool readLine(std::FILE* f, char* buffer, size_t* length) {
    size_t n = 0;
    bool any = false;
    for (int c; (c = std::getc(f)) != EOF;) {
        any = true;
        if (c == '\n' || c == '\r')
            break;
        if (n < kLineCapacity)
            buffer[n++] = static_cast<char>(c);
    }
    *length = n;
    return any;
}

// Epochs before the log's first RMC take that RMC's date.
void seedDate(std::FILE* f, nmea::EpochAssembler* assembler) {
    char line[kLineCapacity];
    size_t n;
    nmea::Sentence s;
    const uint32_t dated = nmea::kDate | nmea::kTime;
    while (readLine(f, line, &n)) {
        if (nmea::parse(line, n, &s) == nmea::Result::kParsed && s.kind == nmea::Kind::kRmc &&
            (s.present & dated) == dated) {
            assembler->seedDate(s.date, s.time);
            break;
        }
    }
    std::fseek(f, 0, SEEK_SET);
}

#if defined(_WIN32)
// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices in every folder and
// with any extension ("aux.nmea"); a read from one may never end.
bool namesDevice(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != 0; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':')
            name = p + 1;
    size_t n = 0;
    while (name[n] != 0 && name[n] != L'.' && name[n] != L' ')
        ++n;
    wchar_t base[5] = {0, 0, 0, 0, 0};
    if (n < 3 || n > 4)
        return false;
    for (size_t i = 0; i < n; ++i)
        base[i] = name[i] >= L'a' && name[i] <= L'z' ? static_cast<wchar_t>(name[i] - 32) : name[i];
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t* d : kDevices)
        if (n == 3 && std::wcscmp(base, d) == 0)
            return true;
    return n == 4 && (std::wcsncmp(base, L"COM", 3) == 0 || std::wcsncmp(base, L"LPT", 3) == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

// The log must be a file on disk: a device or pipe could block the
// replay's reads for good, and then nothing can stop it.
std::FILE* openLog(const wchar_t* path) {
    if (namesDevice(path)) {
        std::fprintf(stderr, "GPSAPI: the NMEA log %ls names a device, not a file\n", path);
        return nullptr;
    }
    std::FILE* f = _wfopen(path, L"rb");
    if (f == nullptr) {
        std::fprintf(stderr, "GPSAPI: cannot read the NMEA log %ls\n", path);
        return nullptr;
    }
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) != FILE_TYPE_DISK) {
        std::fprintf(stderr, "GPSAPI: the NMEA log %ls is not a file on disk\n", path);
        std::fclose(f);
        return nullptr;
    }
    return f;
}
#else
// The log must be a regular file: opening a FIFO waits for a writer, and a
// device or pipe could block the replay's reads for good; then nothing
// could stop it.
std::FILE* openLog(const char* path) {
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "GPSAPI: the NMEA log %s is not a regular file\n", path);
        return nullptr;
    }
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        std::fprintf(stderr, "GPSAPI: cannot read the NMEA log %s\n", path);
    return f;
}
#endif

int64_t timeOfDayMs(const GPS_POSITION& r) {
    const GpsSystemTime& t = r.stUTCTime;
    return ((t.wHour * 60 + t.wMinute) * 60 + t.wSecond) * 1000LL + t.wMilliseconds;
}

class Replayer {
  public:
    void run() {
        seedDate(logFile, &assembler_);
        char line[kLineCapacity];
        size_t n;
        nmea::Sentence s;
        GPS_POSITION r;
        unsigned lines = 0;
        while (readLine(logFile, line, &n)) {
            if ((++lines & 63) == 0 && stopping())
                return;
            switch (nmea::parse(line, n, &s)) {
            case nmea::Result::kParsed:
                ++used_;
                if (assembler_.add(s, &r) && !deliver(r, false))
                    return;
                break;
            case nmea::Result::kIgnored:
                break;
            default:
                ++rejected_;
                break;
            }
        }
        if (assembler_.finish(&r)) {
            deliver(r, true);
            return;
        }
        Locked l(stateLock);
        flushCountsLocked();
        replayProgressLocked().reachedEnd = true;
    }

  private:
    bool stopping() {
        Locked l(stateLock);
        return stopRequested;
    }

    void flushCountsLocked() {
        SimGpsReplayStatus& status = replayProgressLocked().status;
        status.sentencesUsed = used_;
        status.sentencesRejected = rejected_;
    }

    // Waits for the epoch's turn, makes it current and, paced by the host,
    // waits until it has been fetched and its position received. False
    // when asked to stop.
    bool deliver(const GPS_POSITION& r, bool last) {
        int64_t due = 0;
        const int64_t tod = timeOfDayMs(r);
        if (!pace.host && previousTod_ >= 0) {
            int64_t gap = tod - previousTod_;
            if (gap < 0)
                gap += kDayMs; // past midnight
            if (gap > kMaxGapMs)
                gap = kMaxGapMs;
            due = lastDelivery_ + static_cast<int64_t>(static_cast<double>(gap) / pace.multiple);
        }
        previousTod_ = tod;

        Locked l(stateLock);
        for (;;) {
            if (stopRequested)
                return false;
            const int64_t now = monotonicMs();
            if (now >= due)
                break;
            stateChanged.waitFor(stateLock, static_cast<uint32_t>(due - now));
        }
        lastDelivery_ = monotonicMs();
        flushCountsLocked();
        ReplayProgress& progress = replayProgressLocked();
        const uint64_t serial = storeLocked(r, true);
        ++progress.status.epochsDelivered;
        const bool position = (r.dwValidFields & kPositionFields) != 0;
        if (position)
            ++progress.status.positionsDelivered;
        progress.lastSerial = serial;
        progress.reachedEnd = last;
        PendingSignals pending;
        gatherNewLocationLocked(&pending);
        stateLock.unlock();
        sendSignals(pending);
        stateLock.lock();
        if (pace.host && !last)
            while (!stopRequested && fetchedSerialLocked() < serial)
                stateChanged.wait(stateLock);
        // An epoch with any position field becomes a position the provider
        // hands to the host; wait until the host says it has it, so that the
        // next epoch cannot replace it first. A host that never answers
        // costs a pause per position, not a hang.
        if (pace.host && position) {
            ++expectedReceipts_;
            const int64_t giveUp = monotonicMs() + kReceiptWaitMs;
            while (!stopRequested && hostReceiptsLocked() < expectedReceipts_) {
                const int64_t now = monotonicMs();
                if (now >= giveUp)
                    break;
                stateChanged.waitFor(stateLock, static_cast<uint32_t>(giveUp - now));
            }
        }
        return !stopRequested;
    }

    nmea::EpochAssembler assembler_;
    int32_t used_ = 0, rejected_ = 0;
    int64_t previousTod_ = -1;
    uint64_t expectedReceipts_ = 0;
    int64_t lastDelivery_ = 0;
};

PlatformThreadResult PLATFORM_THREAD_CALL replayThread(void*) {
    Replayer replayer;
    replayer.run();
    Locked l(stateLock);
    replayProgressLocked().status.running = 0;
    return 0;
}

} // namespace

ReplayStart replayStart() {
#if defined(_WIN32)
    wchar_t path[1024];
    DWORD n = GetEnvironmentVariableW(L"" SIMGPS_REPLAY_LOG_VARIABLE, path, 1024);
    if (n == 0)
        return ReplayStart::kNotConfigured;
    char paceText[64] = "";
    DWORD m = GetEnvironmentVariableA(SIMGPS_REPLAY_PACE_VARIABLE, paceText, sizeof paceText);
    if (n >= 1024 || m >= sizeof paceText) {
        std::fprintf(stderr, "GPSAPI: %s or %s is too long\n", SIMGPS_REPLAY_LOG_VARIABLE,
                     SIMGPS_REPLAY_PACE_VARIABLE);
        return ReplayStart::kFailed;
    }
#else
    const char* path = std::getenv(SIMGPS_REPLAY_LOG_VARIABLE);
    if (path == nullptr || *path == 0)
        return ReplayStart::kNotConfigured;
    const char* paceText = std::getenv(SIMGPS_REPLAY_PACE_VARIABLE);
#endif
    if (!readPace(paceText, &pace)) {
        std::fprintf(stderr, "GPSAPI: %s=\"%s\" is neither \"host\" nor a number above 0\n",
                     SIMGPS_REPLAY_PACE_VARIABLE, paceText);
        return ReplayStart::kFailed;
    }
    logFile = openLog(path);
    if (logFile == nullptr)
        return ReplayStart::kFailed;
    {
        Locked l(stateLock);
        stopRequested = false;
        replayProgressLocked() = ReplayProgress();
        replayProgressLocked().status.running = 1;
    }
    uint32_t id;
    thread = platformThreadStart(replayThread, nullptr, &id);
    if (thread == nullptr) {
        std::fprintf(stderr, "GPSAPI: cannot start the replay thread\n");
        std::fclose(logFile);
        logFile = nullptr;
        Locked l(stateLock);
        replayProgressLocked().status.running = 0;
        return ReplayStart::kFailed;
    }
    return ReplayStart::kStarted;
}

bool replayRunning() {
    return thread != nullptr;
}

void replayStop() {
    if (thread == nullptr)
        return;
    {
        Locked l(stateLock);
        stopRequested = true;
        stateChanged.notifyAll();
    }
    platformThreadJoin(thread);
    thread = nullptr;
    std::fclose(logFile);
    logFile = nullptr;
}

} // namespace gpsapi
