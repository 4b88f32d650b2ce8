#include "fake_host.h"

#include <cstring>

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

FakeHost::FakeHost(int32_t entryCount) {
    std::memset(&context_, 0, sizeof context_);
    std::memset(&services_, 0, sizeof services_);
    context_.context.services = &services_;
    context_.self = this;
    for (HostServiceEntry& e : table_)
        e = nullptr;
    // The plugin casts entries 4 and 5 to its own types; the host's
    // GetSetting returns a full int so that tests can check that only the
    // low byte is read.
    table_[HOST_SERVICE_GET_SETTING] = reinterpret_cast<HostServiceEntry>(&getSetting);
    table_[HOST_SERVICE_SET_SETTING] = reinterpret_cast<HostServiceEntry>(&setSetting);
    setTable(true, entryCount);
}

void FakeHost::setTable(bool present, int32_t entryCount) {
    services_.entries = present ? table_ : nullptr;
    services_.entryCount = entryCount;
}

int32_t PLUGIN_CALL FakeHost::getSetting(HostContext* c, const WideChar* key,
                                         const WideChar** value) {
    FakeHost* host = reinterpret_cast<Context*>(c)->self;
    host->getCalls.push_back(key);
    if (host->foundWithoutValue)
        return 1;
    auto it = host->store.find(key);
    if (it == host->store.end())
        return host->missingResult;
    *value = it->second.c_str();
    return host->foundResult;
}

void PLUGIN_CALL FakeHost::setSetting(HostContext* c, const WideChar* key, const WideChar* value) {
    FakeHost* host = reinterpret_cast<Context*>(c)->self;
    host->setCalls.push_back(key);
    host->store[key] = value;
}
