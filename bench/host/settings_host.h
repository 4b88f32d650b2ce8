// The host's side of the settings services: one HostContext per plugin,
// each reading and writing the plugin's own section of an IniStore through
// service entries 4 (GetSetting) and 5 (SetSetting).
#pragma once

#include "../../harness/plugin_host.h"
#include "ini_store.h"
#include "text.h"

#include <deque>
#include <set>
#include <string>
#include <utility>

namespace navhost {

class SettingsHost : public PluginHost {
  public:
    explicit SettingsHost(IniStore& store) : store_(store) {}

    // The context to hand to the PluginInit of the plugin whose settings
    // live in SECTION. It stays valid as long as this host.
    HostContext* contextFor(const std::string& section);
    // Whether the plugin of SECTION has asked for KEY through GetSetting.
    bool asked(const std::string& section, const std::string& key) const;

  private:
    int32_t getSetting(const Caller& from, const WideChar* key, const WideChar** value) override;
    void setSetting(const Caller& from, const WideChar* key, const WideChar* value) override;

    IniStore& store_;
    std::deque<std::string> sections_;                     // by client
    std::set<std::pair<std::string, std::string> > asked_; // section, key
};

} // namespace navhost
