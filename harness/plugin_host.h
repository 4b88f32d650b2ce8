// The one host the tests, navhost, the benchmarks and the fuzz targets run
// plugins in. PluginHost owns what every host needs: HostContexts over one
// service table whose entries 4 and 5 are GetSetting and SetSetting, and
// the strings handed out, kept alive as the contract asks. What a setting
// call answers is its subclass's: an in-memory store here (FakeHost),
// navhost's INI file, navhost check's contract checks, the fuzz targets'
// script.
#pragma once

#include "../contract/plugin.h"

#include <deque>
#include <map>
#include <string>
#include <vector>

using WideString = std::basic_string<WideChar>;

// ASCII (or UTF-8 free) text to a wide string, and back for messages.
WideString wide(const std::string& ascii);
std::string narrow(const WideString& s);

class PluginHost {
  public:
    // Room in the service table; the plugins use six entries.
    static const int32_t kTableSize = 8;

    PluginHost();
    virtual ~PluginHost() = default;
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // The first context, for a host of one plugin.
    HostContext* context();
    // A new context whose service calls carry CLIENT. Like the first, it
    // stays valid as long as this host.
    HostContext* addContext(size_t client);

    // The table every context sees: present or null, COUNT entries (any
    // int32: a plugin must take only what the count covers), and which of
    // two GetSetting/SetSetting pairs, 'A' or 'B', sits in entries 4 and 5,
    // so that a test can tell which pair a plugin holds.
    void setTable(bool present, int32_t count, char pair = 'A');

    // Strings handed out stay valid until this is called, or the host goes.
    void releaseStrings() { handedOut_.clear(); }

  protected:
    // The context and the pair a service call came through.
    struct Caller {
        size_t client;
        char pair;
    };
    // GetSetting returns a full int on purpose: only its low byte is meant
    // to count, and a host built elsewhere may leave garbage above it.
    virtual int32_t getSetting(const Caller& from, const WideChar* key, const WideChar** value) = 0;
    virtual void setSetting(const Caller& from, const WideChar* key, const WideChar* value) = 0;
    // A copy of S that stays valid while the plugin may refer to it.
    const WideChar* handOut(const WideString& s);

  private:
    // What a plugin sees as its HostContext, followed by what the host
    // needs to serve it. The services pointer sits at offset 28.
    struct Client {
        HostContext context;
        PluginHost* host;
        size_t client;
    };
    template <char Pair>
    static int32_t PLUGIN_CALL get(HostContext* c, const WideChar* key, const WideChar** value);
    template <char Pair>
    static void PLUGIN_CALL set(HostContext* c, const WideChar* key, const WideChar* value);
    static int32_t PLUGIN_CALL notOffered();

    HostServices services_;
    HostServiceEntry table_[kTableSize];
    std::deque<Client> clients_; // stable addresses
    std::deque<WideString> handedOut_;
};

// The tests' host: an in-memory settings store that records calls.
class FakeHost : public PluginHost {
  public:
    explicit FakeHost(int32_t entryCount = 6) { setTable(true, entryCount); }

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
    int32_t getSetting(const Caller& from, const WideChar* key, const WideChar** value) override;
    void setSetting(const Caller& from, const WideChar* key, const WideChar* value) override;
};
