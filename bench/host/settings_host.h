// The host's side of the settings services: one HostContext per plugin,
// each reading and writing the plugin's own section of an IniStore through
// service entries 4 (GetSetting) and 5 (SetSetting).
#pragma once

#include "../../contract/plugin.h"
#include "ini_store.h"
#include "text.h"

#include <deque>
#include <set>
#include <string>
#include <utility>

namespace navhost {

class SettingsHost {
  public:
    // Entries in the service table; the plugins need more than 5.
    static const int32_t kEntryCount = 8;

    explicit SettingsHost(IniStore& store);
    SettingsHost(const SettingsHost&) = delete;
    SettingsHost& operator=(const SettingsHost&) = delete;

    // The context to hand to the PluginInit of the plugin whose settings
    // live in SECTION. It stays valid as long as this host.
    HostContext* contextFor(const std::string& section);
    // Whether the plugin of SECTION has asked for KEY through GetSetting.
    bool asked(const std::string& section, const std::string& key) const;

  private:
    // What a plugin sees as its HostContext, followed by what the host
    // needs to serve it. The services pointer sits at offset 28.
    struct Client {
        HostContext context;
        SettingsHost* host;
        size_t section;
    };

    static uint8_t PLUGIN_CALL getSetting(HostContext* context, const WideChar* key,
                                          const WideChar** value);
    static void PLUGIN_CALL setSetting(HostContext* context, const WideChar* key,
                                       const WideChar* value);
    static int32_t PLUGIN_CALL notOffered();

    IniStore& store_;
    HostServices services_;
    HostServiceEntry table_[kEntryCount];
    std::deque<Client> clients_; // stable addresses
    std::deque<std::string> sections_;
    // Every value handed to a plugin; a plugin may keep referring to one
    // (the provider does), so none is ever released or moved.
    std::set<WideString> handedOut_;
    std::set<std::pair<std::string, std::string> > asked_; // section, key
};

} // namespace navhost
