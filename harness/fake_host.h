// A host stand-in for tests: a HostContext whose service table has a chosen
// number of entries, over an in-memory settings store that records calls.
#pragma once

#include "../contract/plugin.h"

#include <map>
#include <string>
#include <vector>

using WideString = std::basic_string<WideChar>;

// ASCII (or UTF-8 free) text to a wide string, and back for messages.
WideString wide(const std::string& ascii);
std::string narrow(const WideString& s);

class FakeHost {
  public:
    // ENTRY_COUNT entries in the service table; a negative count or
    // null table can be made with setTable.
    explicit FakeHost(int32_t entryCount = 6);

    HostContext* context() { return &context_.context; }
    void setTable(bool present, int32_t entryCount);

    std::map<WideString, WideString> store; // the settings store
    std::vector<WideString> getCalls;       // keys asked for
    std::vector<WideString> setCalls;       // keys written
    // Result GetSetting gives when it has the key; only the low byte is
    // meant to count, so tests put garbage above it.
    int32_t foundResult = 1;
    int32_t missingResult = 0;
    // When set, GetSetting claims a value but leaves the pointer null.
    bool foundWithoutValue = false;

  private:
    // The context the plugin sees, followed by a back pointer to this.
    struct Context {
        HostContext context;
        FakeHost* self;
    } context_;
    HostServices services_;
    HostServiceEntry table_[8];

    static int32_t PLUGIN_CALL getSetting(HostContext* c, const WideChar* key,
                                          const WideChar** value);
    static void PLUGIN_CALL setSetting(HostContext* c, const WideChar* key, const WideChar* value);
};
