// A host for the fuzz targets: a HostContext whose service table holds one
// of two GetSetting/SetSetting pairs ('A' or 'B'), with a size and presence
// the input chooses, answering GetSetting as the input says and logging
// every call, so that a target can tell which pair the plugin holds.
#pragma once

#include "../contract/plugin.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <string>
#include <vector>

using WideString = std::basic_string<WideChar>;

WideString wideText(const char* ascii);

struct HostCall {
    char pair; // 'A' or 'B'
    bool set;  // SetSetting, else GetSetting
    WideString key;
    WideString value; // the seed of a SetSetting
};

class FuzzHost {
  public:
    FuzzHost();
    HostContext* context() { return &context_.context; }

    // The service table: present or null, COUNT entries (any int32), with
    // pair PAIR in slots 4 and 5.
    void setTable(bool present, int32_t count, char pair);

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

    // Strings handed to the plugin stay alive until this is called: the
    // provider keeps referring to them.
    void releaseStrings() { kept_.clear(); }

  private:
    struct Context {
        HostContext context;
        FuzzHost* self;
    } context_;
    HostServices services_;
    HostServiceEntry table_[8];
    std::vector<std::pair<WideString, Answer> > answers_;
    std::deque<WideString> kept_;

    int32_t get(char pair, const WideChar* key, const WideChar** value);
    void set(char pair, const WideChar* key, const WideChar* value);
    static int32_t PLUGIN_CALL getA(HostContext* c, const WideChar* key, const WideChar** value);
    static int32_t PLUGIN_CALL getB(HostContext* c, const WideChar* key, const WideChar** value);
    static void PLUGIN_CALL setA(HostContext* c, const WideChar* key, const WideChar* value);
    static void PLUGIN_CALL setB(HostContext* c, const WideChar* key, const WideChar* value);
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
