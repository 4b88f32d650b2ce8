// Fuzz target: the track recorder, compiled in, driven through its
// descriptor by arbitrary sequences of host calls: PluginInit with odd
// folders and host tables, start, stop, de-init, descriptor refills, and
// positions with any bytes (NaN, infinities, odd fix codes, extreme dates).
// Files go to a private folder on tmpfs, which prefixes every folder
// setting. A model of the recorder predicts
// every file: whenever a file is closed it must hold exactly the header,
// one line per usable position delivered into it and the footer, under the
// name the folder setting gives, and no other file may exist.
#include "../contract/plugin.h"
#include "../harness/track_text.h"
#include "fuzz_host.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <dirent.h>
#include <iconv.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" PluginDescriptor* PLUGIN_CALL pluginPreInitMethod(void);

namespace {

const WideString kKey = wide("tracks_path");
// A prefix naming a folder that does not exist.
const char kMissing[] = "nodir/";
// The longest file name the file system takes, in bytes.
const size_t kNameMax = 255;
const size_t kDateNameLength = 23; // "YYYY-MM-DD_hh-mm-ss.gpx"

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "recorder model mismatch: %s %s\n", what, detail.c_str());
    std::abort();
}

// UTF-16 to UTF-8 through the C library; false for text with no UTF-8
// form (an unpaired surrogate).
bool toUtf8(const WideString& s, std::string* out) {
    static iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string in;
    for (WideChar c : s) {
        in.push_back(static_cast<char>(c & 0xFF));
        in.push_back(static_cast<char>(c >> 8));
    }
    std::vector<char> buffer(in.size() * 2 + 4);
    char* src = in.empty() ? nullptr : &in[0];
    size_t srcLeft = in.size();
    char* dst = buffer.data();
    size_t dstLeft = buffer.size();
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1))
        return false;
    out->assign(buffer.data(), dst);
    return true;
}

// The private folder, with its trailing separator.
std::string work;

// Figures over the whole run, printed at exit.
unsigned long long entryCalls, filesChecked, pointsChecked;

std::vector<std::string> folderEntries() {
    std::vector<std::string> names;
    DIR* dir = opendir(work.c_str());
    if (dir == nullptr)
        fail("cannot list the work folder");
    while (dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(dir);
    return names;
}

void removeEntries() {
    for (const std::string& name : folderEntries())
        unlink((work + name).c_str());
}

// What the recorder should be doing.
struct Model {
    HeldEntries held;
    WideString folder;
    bool recording = false;
    bool open = false;
    std::string openPrefix; // the folder, as a file name prefix, of the open file
    std::string lines;      // the open file's point lines so far
    size_t points = 0;      // and their number

    // Whether a file can be created under the folder setting, and the
    // file name's prefix in the private folder.
    bool creatable(std::string* prefix) const {
        std::string path;
        if (!toUtf8(folder, &path) || path.compare(0, work.size(), work) != 0)
            return false;
        *prefix = path.substr(work.size());
        if (prefix->compare(0, sizeof kMissing - 1, kMissing) == 0)
            return false;
        return prefix->size() + kDateNameLength <= kNameMax;
    }

    // The recorder closes its file now: it must be the only entry of the
    // folder and hold exactly what was delivered into it.
    void closeFile() {
        const std::vector<std::string> entries = folderEntries();
        if (entries.size() != 1)
            fail("one file expected at the close, found", std::to_string(entries.size()));
        const std::string& name = entries[0];
        if (name.size() != openPrefix.size() + kDateNameLength ||
            name.compare(0, openPrefix.size(), openPrefix) != 0)
            fail("file name", name);
        const std::string date = name.substr(openPrefix.size());
        if (!isTrackName(date))
            fail("file name", name);
        FILE* f = std::fopen((work + name).c_str(), "rb");
        if (f == nullptr)
            fail("cannot read", name);
        std::string content;
        char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            content.append(chunk, n);
        std::fclose(f);
        if (content != expectedHeader(date) + lines + kTrackFooter)
            fail("content of", name);
        unlink((work + name).c_str());
        ++filesChecked;
        pointsChecked += points;
        open = false;
        lines.clear();
        points = 0;
    }

    void expectNoFile() const {
        if (!folderEntries().empty())
            fail("a file exists without a usable position");
    }
};

bool usable(const GpsRecord& r) {
    return r.fixStatus != 0 && std::isfinite(r.longitude) && std::isfinite(r.latitude) &&
           std::isfinite(r.altitude) && std::isfinite(r.hdop);
}

float consumeFloat(FuzzedDataProvider& in) {
    static const float specials[] = {NAN,
                                     -NAN,
                                     INFINITY,
                                     -INFINITY,
                                     0.0f,
                                     -0.0f,
                                     1.4e-45f,
                                     -1.4e-45f,
                                     1.17549435e-38f,
                                     3.40282347e38f,
                                     -3.40282347e38f,
                                     0.5f,
                                     1e-7f,
                                     5e-7f,
                                     4.9999997e-7f,
                                     123456.789f,
                                     180.0f,
                                     -90.0f};
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return in.PickValueInArray(specials);
    case 1: {
        uint32_t bits = in.ConsumeIntegral<uint32_t>();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    default:
        return in.ConsumeFloatingPointInRange<float>(-400.0f, 400.0f);
    }
}

GpsRecord consumeRecord(FuzzedDataProvider& in) {
    GpsRecord r;
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        // Any 44 bytes.
        std::memset(&r, 0, sizeof r);
        in.ConsumeData(&r, sizeof r);
        return r;
    }
    r = sequenceRecord(in.ConsumeIntegral<uint16_t>());
    r.longitude = consumeFloat(in);
    r.latitude = consumeFloat(in);
    r.altitude = consumeFloat(in);
    r.hdop = consumeFloat(in);
    r.fixStatus = in.ConsumeBool() ? in.ConsumeIntegral<uint8_t>() : FIX_3D;
    if (in.ConsumeBool()) {
        r.year = in.ConsumeIntegral<int32_t>();
        r.month = in.ConsumeIntegral<uint8_t>();
        r.day = in.ConsumeIntegral<uint8_t>();
        r.hour = in.ConsumeIntegral<uint8_t>();
        r.minute = in.ConsumeIntegral<uint8_t>();
        r.second = in.ConsumeIntegral<uint8_t>();
    }
    return r;
}

// A folder setting: the private folder and a plain prefix of the file
// name, sometimes naming a folder that does not exist. '/' is kept out of
// the prefix so that every file lands in the private folder.
WideString consumeFolder(FuzzedDataProvider& in) {
    WideString prefix = consumeWide(in, in.ConsumeBool() ? 40 : 300);
    for (WideChar& c : prefix) {
        if (c == '/')
            c = '_';
    }
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        prefix = wide(kMissing) + prefix;
    return wide(work.c_str()) + prefix;
}

FuzzHost host;
PluginDescriptor* plugin;
unsigned char descriptorBytes[sizeof(PluginDescriptor)];

void checkHostCalls(const std::vector<HostCall>& expected) {
    if (host.calls.size() != expected.size())
        fail("number of host calls");
    for (size_t i = 0; i < expected.size(); ++i) {
        const HostCall& a = host.calls[i];
        const HostCall& b = expected[i];
        if (a.pair != b.pair || a.set != b.set || a.key != b.key || a.value != b.value)
            fail("host call", std::to_string(i));
    }
    host.calls.clear();
}

void init(Model& m, bool present, int32_t count, char pair, const FuzzHost::Answer& a) {
    host.setTable(present, count, pair);
    host.forgetAnswers();
    host.answer(kKey, a);
    ++entryCalls;
    if (plugin->init(host.context()) != 1)
        fail("PluginInit did not return 1");
    m.held.take(present, count, pair);
    std::vector<HostCall> expected;
    bool adopted = false;
    if (m.held.get != 0) {
        expected.push_back(HostCall{m.held.get, false, kKey, WideString()});
        adopted = a.known && (a.result & 0xFF) != 0 && !a.nullValue;
    }
    if (adopted)
        m.folder = a.value.substr(0, 254);
    else if (m.held.set != 0)
        expected.push_back(HostCall{m.held.set, true, kKey, m.folder});
    checkHostCalls(expected);
}

void deliver(Model& m, const GpsRecord* r, unsigned times) {
    for (unsigned i = 0; i < times; ++i) {
        ++entryCalls;
        plugin->gpsData.setGPSData(r);
        if (r == nullptr || !m.recording || !usable(*r))
            continue;
        if (!m.open) {
            std::string prefix;
            if (!m.creatable(&prefix)) {
                m.expectNoFile();
                continue;
            }
            m.open = true;
            m.openPrefix = prefix;
        }
        m.lines += pointLine(*r);
        ++m.points;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The private folder, on tmpfs where there is one.
    char dir[] = "/dev/shm/navplugins-fuzz-XXXXXX";
    char fallback[] = "/tmp/navplugins-fuzz-XXXXXX";
    const char* made = mkdtemp(dir);
    if (made == nullptr)
        made = mkdtemp(fallback);
    if (made == nullptr)
        fail("no private folder");
    work = std::string(made) + "/";
    std::atexit([] {
        removeEntries();
        rmdir(work.c_str());
        std::printf("recorder: %llu entry calls, %llu files checked, %llu points in them\n",
                    entryCalls, filesChecked, pointsChecked);
    });
    plugin = pluginPreInitMethod();
    std::memcpy(descriptorBytes, plugin, sizeof descriptorBytes);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Model m;

    // A known start: any earlier period ends, both entries of pair A are
    // held and the folder is the private folder itself.
    plugin->stop();
    removeEntries();
    FuzzHost::Answer start;
    start.known = true;
    start.result = 1;
    start.value = wide(work.c_str());
    init(m, true, 6, 'A', start);
    host.releaseStrings();

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: {
            const bool present = in.ConsumeIntegralInRange<int>(0, 7) != 0;
            const int32_t count = consumeTableCount(in);
            const char pair = in.ConsumeBool() ? 'A' : 'B';
            FuzzHost::Answer a;
            a.known = in.ConsumeIntegralInRange<int>(0, 7) != 0;
            a.result = in.ConsumeBool() ? 1 : in.ConsumeIntegral<int32_t>();
            a.nullValue = in.ConsumeIntegralInRange<int>(0, 15) == 0;
            a.value = consumeFolder(in);
            init(m, present, count, pair, a);
            break;
        }
        case 1:
            ++entryCalls;
            if (plugin->start() != 1)
                fail("PluginStart did not return 1");
            m.recording = true;
            break;
        case 2:
            ++entryCalls;
            if (plugin->stop() != 1)
                fail("PluginStop did not return 1");
            if (m.recording && m.open)
                m.closeFile();
            m.expectNoFile();
            m.recording = false;
            break;
        case 3:
            ++entryCalls;
            if (plugin->deInit() != 1)
                fail("PluginDeInit did not return 1");
            if (m.recording && m.open)
                m.closeFile();
            m.expectNoFile();
            m.recording = false;
            break;
        case 4:
            if (pluginPreInitMethod() != plugin ||
                std::memcmp(plugin, descriptorBytes, sizeof descriptorBytes) != 0)
                fail("descriptor changed");
            break;
        case 5:
            deliver(m, nullptr, 1);
            break;
        case 6: {
            // A burst of one record, long enough to cross pages of the file.
            const GpsRecord r = consumeRecord(in);
            deliver(m, &r, in.ConsumeIntegralInRange<unsigned>(1, 150));
            break;
        }
        default: {
            const GpsRecord r = consumeRecord(in);
            deliver(m, &r, 1);
        }
        }
    }

    // The host ends the session: the file, if any, is completed.
    plugin->stop();
    if (m.recording && m.open)
        m.closeFile();
    m.expectNoFile();
    host.releaseStrings();
    return 0;
}
