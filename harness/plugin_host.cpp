#include "plugin_host.h"

#include <cstring>
#include <type_traits>

WideString wide(const std::string& ascii) {
    WideString s;
    for (unsigned char c : ascii)
        s.push_back(static_cast<WideChar>(c));
    return s;
}

std::string narrow(const WideString& s) {
    std::string out;
    for (WideChar c : s)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

PluginHost::PluginHost() {
    static_assert(std::is_standard_layout<Client>::value, "the context must lead its client");
    std::memset(&services_, 0, sizeof services_);
    for (HostServiceEntry& e : table_)
        e = reinterpret_cast<HostServiceEntry>(&notOffered);
    setTable(true, kTableSize);
}

HostContext* PluginHost::context() {
    return clients_.empty() ? addContext(0) : &clients_.front().context;
}

HostContext* PluginHost::addContext(size_t client) {
    Client c;
    std::memset(&c, 0, sizeof c);
    c.context.services = &services_;
    c.host = this;
    c.client = client;
    clients_.push_back(c);
    return &clients_.back().context;
}

void PluginHost::setTable(bool present, int32_t count, char pair) {
    // The plugin casts entries 4 and 5 to its own types.
    table_[HOST_SERVICE_GET_SETTING] =
        reinterpret_cast<HostServiceEntry>(pair == 'A' ? &get<'A'> : &get<'B'>);
    table_[HOST_SERVICE_SET_SETTING] =
        reinterpret_cast<HostServiceEntry>(pair == 'A' ? &set<'A'> : &set<'B'>);
    services_.entries = present ? table_ : nullptr;
    services_.entryCount = count;
}

const WideChar* PluginHost::handOut(const WideString& s) {
    handedOut_.push_back(s);
    return handedOut_.back().c_str();
}

template <char Pair>
int32_t PLUGIN_CALL PluginHost::get(HostContext* c, const WideChar* key, const WideChar** value) {
    const Client* client = reinterpret_cast<Client*>(c);
    return client->host->getSetting(Caller{client->client, Pair}, key, value);
}

template <char Pair>
void PLUGIN_CALL PluginHost::set(HostContext* c, const WideChar* key, const WideChar* value) {
    const Client* client = reinterpret_cast<Client*>(c);
    client->host->setSetting(Caller{client->client, Pair}, key, value);
}

int32_t PLUGIN_CALL PluginHost::notOffered() {
    return 0;
}

int32_t FakeHost::getSetting(const Caller&, const WideChar* key, const WideChar** value) {
    getCalls.push_back(key);
    if (foundWithoutValue)
        return 1;
    auto it = store.find(key);
    if (it == store.end())
        return missingResult;
    *value = it->second.c_str();
    return foundResult;
}

void FakeHost::setSetting(const Caller&, const WideChar* key, const WideChar* value) {
    setCalls.push_back(key);
    store[key] = value;
}
