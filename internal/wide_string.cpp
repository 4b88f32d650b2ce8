#include "wide_string.h"

size_t wideCopyBounded(WideChar* dst, size_t capacity, const WideChar* src) {
    size_t n = 0;
    while (n + 1 < capacity && src[n] != 0) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
    return n;
}

size_t wideLength(const WideChar* s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

bool wideEqualsAscii(const WideChar* s, const char* ascii) {
    size_t i = 0;
    for (; ascii[i] != 0; ++i) {
        if (s[i] != static_cast<WideChar>(static_cast<unsigned char>(ascii[i])))
            return false;
    }
    return s[i] == 0;
}

static bool isBlank(WideChar c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int32_t wideToInt32(const WideChar* s) {
    while (isBlank(*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    /* Accumulate the magnitude, capped one past the largest that fits, so
     * that a long run of digits cannot overflow. */
    const uint32_t limit = negative ? 2147483648u : 2147483647u;
    uint32_t magnitude = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        uint32_t digit = static_cast<uint32_t>(*s - '0');
        if (magnitude > (limit - digit) / 10u) {
            magnitude = limit;
            while (*s >= '0' && *s <= '9')
                ++s;
            break;
        }
        magnitude = magnitude * 10u + digit;
    }
    if (negative)
        return magnitude == 2147483648u ? static_cast<int32_t>(-2147483647 - 1)
                                        : -static_cast<int32_t>(magnitude);
    return static_cast<int32_t>(magnitude);
}
