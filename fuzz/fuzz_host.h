// The fuzz targets' host: the harness's host answering GetSetting as the
// input says and logging every call, so that a target can tell which of the
// two GetSetting/SetSetting pairs the plugin holds.
#pragma once

#include "../harness/plugin_host.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

struct HostCall {
    char pair; // 'A' or 'B'
    bool set;  // SetSetting, else GetSetting
    WideString key;
    WideString value; // the seed of a SetSetting
};

class FuzzHost : public PluginHost {
  public:
    FuzzHost() { setTable(true, 6, 'A'); }

    // How GetSetting answers KEY: not at all (missing), or with RESULT (a
    // full int: only its low byte is meant to count) and VALUE, or a null
    // string when NULLVALUE.
    struct Answer {
        bool known = false;
        int32_t result = 0;
        bool nullValue = false;
        WideString value;
    };
    void answer(const WideString& key, const Answer& a);
    void forgetAnswers() { answers_.clear(); }

    std::vector<HostCall> calls;

  private:
    std::vector<std::pair<WideString, Answer> > answers_;

    int32_t getSetting(const Caller& from, const WideChar* key, const WideChar** value) override;
    void setSetting(const Caller& from, const WideChar* key, const WideChar* value) override;
};

// What a plugin holds of the host's entries, as the plugin contract says:
// a table that is present and longer than 4 (5) entries gives GetSetting
// (SetSetting); a shorter or absent one leaves what was held.
struct HeldEntries {
    char get = 0; // 0 when none is held
    char set = 0;
    void take(bool present, int32_t count, char pair) {
        if (present && count > HOST_SERVICE_GET_SETTING)
            get = pair;
        if (present && count > HOST_SERVICE_SET_SETTING)
            set = pair;
    }
};

// A table size worth trying: mostly around the two thresholds, sometimes
// anything.
int32_t consumeTableCount(FuzzedDataProvider& in);

// A wide string of at most MAX units, without a zero unit: mostly ASCII,
// sometimes any unit (surrogates, paired or not, included).
WideString consumeWide(FuzzedDataProvider& in, size_t max);
