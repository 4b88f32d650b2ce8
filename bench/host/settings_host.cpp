#include "settings_host.h"

#include <cstring>
#include <type_traits>

namespace navhost {

namespace {

// The key or value a plugin passed, as UTF-8; false for a null pointer.
bool fromPlugin(const WideChar* s, std::string& out) {
    if (s == nullptr)
        return false;
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    out = wideToUtf8(WideString(s, n));
    return true;
}

// A key the INI file can hold: not empty, one line, no '=', and not read
// back as a comment or a section.
bool storableKey(const std::string& key) {
    return !key.empty() && key.find_first_of("=\r\n") == std::string::npos &&
           key.find_first_of("[;# \t") != 0 && key.find_last_of(" \t") != key.size() - 1;
}

} // namespace

SettingsHost::SettingsHost(IniStore& store) : store_(store) {
    static_assert(std::is_standard_layout<Client>::value, "the context must lead its client");
    std::memset(&services_, 0, sizeof services_);
    for (HostServiceEntry& entry : table_)
        entry = reinterpret_cast<HostServiceEntry>(&notOffered);
    table_[HOST_SERVICE_GET_SETTING] = reinterpret_cast<HostServiceEntry>(&getSetting);
    table_[HOST_SERVICE_SET_SETTING] = reinterpret_cast<HostServiceEntry>(&setSetting);
    services_.entries = table_;
    services_.entryCount = kEntryCount;
}

HostContext* SettingsHost::contextFor(const std::string& section) {
    sections_.push_back(section);
    Client client;
    std::memset(&client, 0, sizeof client);
    client.context.services = &services_;
    client.host = this;
    client.section = sections_.size() - 1;
    clients_.push_back(client);
    return &clients_.back().context;
}

uint8_t PLUGIN_CALL SettingsHost::getSetting(HostContext* context, const WideChar* key,
                                             const WideChar** value) {
    Client* client = reinterpret_cast<Client*>(context);
    SettingsHost* host = client->host;
    std::string name, text;
    if (value == nullptr || !fromPlugin(key, name))
        return 0;
    host->asked_.insert(std::make_pair(host->sections_[client->section], name));
    if (!host->store_.get(host->sections_[client->section], name, text))
        return 0;
    WideString wide;
    if (!utf8ToWide(text, wide))
        return 0;
    *value = host->handedOut_.insert(wide).first->c_str();
    return 1;
}

void PLUGIN_CALL SettingsHost::setSetting(HostContext* context, const WideChar* key,
                                          const WideChar* value) {
    Client* client = reinterpret_cast<Client*>(context);
    SettingsHost* host = client->host;
    std::string name, text;
    if (!fromPlugin(key, name) || !storableKey(name) || !fromPlugin(value, text))
        return;
    // A value is one line of the file.
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    host->store_.set(host->sections_[client->section], name, text);
}

bool SettingsHost::asked(const std::string& section, const std::string& key) const {
    return asked_.count(std::make_pair(section, key)) > 0;
}

int32_t PLUGIN_CALL SettingsHost::notOffered() {
    return 0;
}

} // namespace navhost
