#include "fuzz_host.h"

void FuzzHost::answer(const WideString& key, const Answer& a) {
    for (auto& entry : answers_) {
        if (entry.first == key) {
            entry.second = a;
            return;
        }
    }
    answers_.emplace_back(key, a);
}

int32_t FuzzHost::getSetting(const Caller& from, const WideChar* key, const WideChar** value) {
    calls.push_back(HostCall{from.pair, false, key, WideString()});
    for (const auto& entry : answers_) {
        if (entry.first != key || !entry.second.known)
            continue;
        *value = entry.second.nullValue ? nullptr : handOut(entry.second.value);
        return entry.second.result;
    }
    // A missing key: a result whose low byte is clear, garbage above it.
    return 0x5A5A5A00;
}

void FuzzHost::setSetting(const Caller& from, const WideChar* key, const WideChar* value) {
    calls.push_back(HostCall{from.pair, true, key, value});
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
