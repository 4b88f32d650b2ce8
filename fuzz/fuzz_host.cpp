#include "fuzz_host.h"

#include <cstring>

WideString wideText(const char* ascii) {
    WideString s;
    for (; *ascii != 0; ++ascii)
        s.push_back(static_cast<WideChar>(static_cast<unsigned char>(*ascii)));
    return s;
}

FuzzHost::FuzzHost() {
    std::memset(&context_, 0, sizeof context_);
    std::memset(&services_, 0, sizeof services_);
    context_.context.services = &services_;
    context_.self = this;
    for (HostServiceEntry& e : table_)
        e = nullptr;
    setTable(true, 6, 'A');
}

void FuzzHost::setTable(bool present, int32_t count, char pair) {
    // The plugin casts the entries to its own types; GetSetting returns a
    // full int on purpose (this file is built without the function-type
    // check), so that only a plugin reading the low byte passes.
    table_[HOST_SERVICE_GET_SETTING] =
        reinterpret_cast<HostServiceEntry>(pair == 'A' ? &getA : &getB);
    table_[HOST_SERVICE_SET_SETTING] =
        reinterpret_cast<HostServiceEntry>(pair == 'A' ? &setA : &setB);
    services_.entries = present ? table_ : nullptr;
    services_.entryCount = count;
}

void FuzzHost::answer(const WideString& key, const Answer& a) {
    for (auto& entry : answers_) {
        if (entry.first == key) {
            entry.second = a;
            return;
        }
    }
    answers_.emplace_back(key, a);
}

int32_t FuzzHost::get(char pair, const WideChar* key, const WideChar** value) {
    calls.push_back(HostCall{pair, false, key, WideString()});
    for (const auto& entry : answers_) {
        if (entry.first != key || !entry.second.known)
            continue;
        if (entry.second.nullValue) {
            *value = nullptr;
        } else {
            kept_.push_back(entry.second.value);
            *value = kept_.back().c_str();
        }
        return entry.second.result;
    }
    // A missing key: a result whose low byte is clear, garbage above it.
    return 0x5A5A5A00;
}

void FuzzHost::set(char pair, const WideChar* key, const WideChar* value) {
    calls.push_back(HostCall{pair, true, key, value});
}

int32_t PLUGIN_CALL FuzzHost::getA(HostContext* c, const WideChar* key, const WideChar** value) {
    return reinterpret_cast<Context*>(c)->self->get('A', key, value);
}
int32_t PLUGIN_CALL FuzzHost::getB(HostContext* c, const WideChar* key, const WideChar** value) {
    return reinterpret_cast<Context*>(c)->self->get('B', key, value);
}
void PLUGIN_CALL FuzzHost::setA(HostContext* c, const WideChar* key, const WideChar* value) {
    reinterpret_cast<Context*>(c)->self->set('A', key, value);
}
void PLUGIN_CALL FuzzHost::setB(HostContext* c, const WideChar* key, const WideChar* value) {
    reinterpret_cast<Context*>(c)->self->set('B', key, value);
}

int32_t consumeTableCount(FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        return in.ConsumeIntegral<int32_t>();
    return in.ConsumeIntegralInRange<int32_t>(-1, 7);
}

WideString consumeWide(FuzzedDataProvider& in, size_t max) {
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, max);
    WideString s;
    while (s.size() < length && in.remaining_bytes() > 0) {
        WideChar c;
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            c = in.ConsumeIntegral<uint16_t>();
            break;
        case 1:
            c = static_cast<WideChar>(in.ConsumeIntegralInRange<int>(0xD800, 0xDFFF));
            break;
        default:
            c = static_cast<WideChar>(in.ConsumeIntegralInRange<int>(0x20, 0x7E));
        }
        if (c == 0)
            c = ' ';
        s.push_back(c);
    }
    return s;
}
