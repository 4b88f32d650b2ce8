// Fuzz target: the settings exchange. Arbitrary host strings and table
// sizes go through the plugins' PluginInit (each plugin an instrumented
// build of its library, loaded once), and a model of the read-or-seed
// exchange predicts every host call: which GetSetting/SetSetting pair is
// called, for which keys, in which order, and with which seed. The decimal
// reading of setting values is checked against a reference reading.
#include "../contract/plugin.h"
#include "../harness/plugin_library.h"
#include "../internal/wide_string.h"
#include "fuzz_host.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "settings model mismatch: %s %s\n", what, detail.c_str());
    std::abort();
}

// Figures over the whole run, printed at exit.
unsigned long long readingsChecked, initsChecked, hostCallsChecked;

// ---- Decimal reading ----

// Blanks, one sign, digits up to the first non-digit, saturated at the
// ends of the 32-bit range; no digits give 0.
int32_t referenceReading(const WideString& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    std::string digits;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        digits.push_back(static_cast<char>(s[i++]));
    const size_t nonZero = digits.find_first_not_of('0');
    digits = nonZero == std::string::npos ? "0" : digits.substr(nonZero);
    if (digits.size() > 10)
        return negative ? INT32_MIN : INT32_MAX;
    long long v = std::atoll(digits.c_str());
    if (negative)
        v = -v;
    if (v < INT32_MIN)
        return INT32_MIN;
    if (v > INT32_MAX)
        return INT32_MAX;
    return static_cast<int32_t>(v);
}

WideString consumeNumberText(FuzzedDataProvider& in) {
    static const WideChar pieces[] = {' ', '\t', '\n', '\v', '\f',  '\r',
                                      '+', '-',  'x',  0xA0, 0xFF10};
    WideString s;
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, 40);
    while (s.size() < length && in.remaining_bytes() > 0) {
        if (in.ConsumeIntegralInRange<int>(0, 3) != 0)
            s.push_back(static_cast<WideChar>('0' + in.ConsumeIntegralInRange<int>(0, 9)));
        else
            s.push_back(in.PickValueInArray(pieces));
    }
    return s;
}

void checkReading(FuzzedDataProvider& in) {
    const WideString text = consumeNumberText(in);
    const int32_t got = wideToInt32(text.c_str());
    if (got != referenceReading(text))
        fail("decimal reading", std::to_string(got));
    ++readingsChecked;
}

// ---- The plugins' settings exchange ----

// One setting of a plugin: its key, its first seed, and whether the plugin
// seeds later PluginInits with the value it adopted (the recorder's folder,
// the provider's log file) or always with its default.
struct Key {
    WideString key;
    WideString seed;
    bool seedsAdopted;
    size_t keep; // units of an adopted value that are kept
};

struct Plugin {
    const char* name;
    std::vector<Key> keys;
    PluginDescriptor* descriptor = nullptr;
};

// The recorder copies its folder and seeds the copy; the provider does the
// same with its log file, and seeds its two other keys with their defaults.
Plugin plugins[] = {
    {"wendmark", {{wide("tracks_path"), wide("C:\\"), true, 254}}},
    {"orvane",
     {{wide("log_file"), wide("\\orvane.log"), true, 254},
      {wide("log_enabled"), wide("false"), false, 0},
      {wide("trace_level"), wide("0"), false, 0}}},
};

FuzzHost host;

// A value the input gives a key.
FuzzHost::Answer consumeAnswer(FuzzedDataProvider& in) {
    FuzzHost::Answer a;
    a.known = in.ConsumeIntegralInRange<int>(0, 3) != 0;
    a.result = in.ConsumeBool() ? 1 : in.ConsumeIntegral<int32_t>();
    a.nullValue = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    a.value = in.ConsumeBool() ? consumeWide(in, 300) : consumeNumberText(in);
    return a;
}

void exercise(Plugin& p, FuzzedDataProvider& in) {
    HeldEntries held;
    std::vector<WideString> seeds;
    for (const Key& k : p.keys)
        seeds.push_back(k.seed);

    // A known start: pair A held, and each key given its first seed as a
    // value, so that nothing the plugin refers to is left over from an
    // earlier input.
    host.setTable(true, 6, 'A');
    host.forgetAnswers();
    for (const Key& k : p.keys) {
        FuzzHost::Answer a;
        a.known = true;
        a.result = 1;
        a.value = k.seed;
        host.answer(k.key, a);
    }
    if (p.descriptor->init(host.context()) != 1)
        fail("PluginInit failed", p.name);
    held.take(true, 6, 'A');
    host.calls.clear();
    host.releaseStrings();

    for (int round = 0; round < 16 && in.remaining_bytes() > 0; ++round) {
        const bool present = in.ConsumeIntegralInRange<int>(0, 7) != 0;
        const int32_t count = consumeTableCount(in);
        const char pair = in.ConsumeBool() ? 'A' : 'B';
        host.setTable(present, count, pair);
        host.forgetAnswers();
        std::vector<FuzzHost::Answer> answers;
        for (const Key& k : p.keys) {
            answers.push_back(consumeAnswer(in));
            host.answer(k.key, answers.back());
        }
        if (p.descriptor->init(host.context()) != 1)
            fail("PluginInit did not return 1", p.name);

        held.take(present, count, pair);
        std::vector<HostCall> expected;
        for (size_t i = 0; i < p.keys.size(); ++i) {
            const Key& k = p.keys[i];
            const FuzzHost::Answer& a = answers[i];
            if (held.get != 0) {
                expected.push_back(HostCall{held.get, false, k.key, WideString()});
                if (a.known && (a.result & 0xFF) != 0 && !a.nullValue) {
                    if (k.seedsAdopted)
                        seeds[i] = a.value.substr(0, k.keep);
                    continue;
                }
            }
            if (held.set != 0)
                expected.push_back(HostCall{held.set, true, k.key, seeds[i]});
        }
        if (host.calls.size() != expected.size())
            fail("number of host calls", p.name);
        for (size_t i = 0; i < expected.size(); ++i) {
            const HostCall& a = host.calls[i];
            const HostCall& b = expected[i];
            if (a.pair != b.pair || a.set != b.set || a.key != b.key || a.value != b.value)
                fail("host call", std::string(p.name) + " " + std::to_string(i));
        }
        ++initsChecked;
        hostCallsChecked += expected.size();
        host.calls.clear();
    }
    p.descriptor->deInit();
    host.releaseStrings();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The provider binds the simulated driver by its name: loaded here by
    // its path first, the load by name finds it. Then each plugin; all stay
    // loaded for the whole run.
    static PluginModule modules[1 + sizeof plugins / sizeof plugins[0]];
    std::string message;
    if (modules[0].open(programFolder() + "driver/GPSAPI.so", message) != LoadStatus::Loaded)
        fail("cannot load", message);
    PluginModule* module = modules + 1;
    for (Plugin& p : plugins) {
        if (module->load(programFolder() + "fuzz_" + p.name + ".so", message) != LoadStatus::Loaded)
            fail("cannot load", message);
        p.descriptor = (module++)->entry()();
    }
    std::atexit([] {
        std::printf("settings: %llu readings, %llu PluginInit calls, %llu host calls checked\n",
                    readingsChecked, initsChecked, hostCallsChecked);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        for (int i = 0; i < 16 && in.remaining_bytes() > 0; ++i)
            checkReading(in);
    } else {
        const size_t n = sizeof plugins / sizeof plugins[0];
        exercise(plugins[in.ConsumeIntegralInRange<size_t>(0, n - 1)], in);
    }
    return 0;
}
