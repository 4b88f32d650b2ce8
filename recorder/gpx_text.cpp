#include "gpx_text.h"

#include <string.h>

const char kDigitPairs[201] = "00010203040506070809"
                              "10111213141516171819"
                              "20212223242526272829"
                              "30313233343536373839"
                              "40414243444546474849"
                              "50515253545556575859"
                              "60616263646566676869"
                              "70717273747576777879"
                              "80818283848586878889"
                              "90919293949596979899";

/* Keeps the rare paths out of line, so that the common one needs no
 * saved registers. */
#if defined(__GNUC__)
#define GPX_RARE_PATH __attribute__((noinline))
#elif defined(_MSC_VER)
#define GPX_RARE_PATH __declspec(noinline)
#else
#define GPX_RARE_PATH
#endif

namespace {

int digitCount(uint32_t v) {
    int n = 1;
    for (; v >= 10000u; v /= 10000u)
        n += 4;
    return v >= 1000u ? n + 3 : v >= 100u ? n + 2 : v >= 10u ? n + 1 : n;
}

/* Writes the decimal digits of V, without padding, two at a time from the
 * end. */
char* appendUnsigned32(char* out, uint32_t v) {
    char* const end = out + digitCount(v);
    char* p = end;
    while (v >= 100u) {
        const uint32_t q = v / 100u;
        p -= 2;
        memcpy(p, kDigitPairs + 2 * (v - q * 100u), 2);
        v = q;
    }
    if (v >= 10u)
        memcpy(p - 2, kDigitPairs + 2 * v, 2);
    else
        p[-1] = static_cast<char>('0' + v);
    return end;
}

/* Writes MANTISSA * 2^SHIFT, an integer of up to 128 bits, in decimal. */
GPX_RARE_PATH char* appendLargeInteger(char* out, uint32_t mantissa, int shift) {
    /* Little-endian 32-bit limbs; 2^24 * 2^104 fits in five. */
    uint32_t limbs[5] = {0, 0, 0, 0, 0};
    const int word = shift / 32, bit = shift % 32;
    const uint64_t shifted = static_cast<uint64_t>(mantissa) << bit;
    limbs[word] = static_cast<uint32_t>(shifted);
    limbs[word + 1] = static_cast<uint32_t>(shifted >> 32);

    /* Peel off nine decimal digits at a time, least significant first. */
    uint32_t groups[5];
    int count = 0;
    int top = 4;
    for (;;) {
        while (top > 0 && limbs[top] == 0)
            --top;
        if (top == 0 && limbs[0] < 1000000000u) {
            groups[count++] = limbs[0];
            break;
        }
        uint64_t remainder = 0;
        for (int i = top; i >= 0; --i) {
            const uint64_t cur = (remainder << 32) | limbs[i];
            limbs[i] = static_cast<uint32_t>(cur / 1000000000u);
            remainder = cur % 1000000000u;
        }
        groups[count++] = static_cast<uint32_t>(remainder);
    }
    out = appendUnsigned32(out, groups[--count]);
    while (count > 0) {
        uint32_t g = groups[--count];
        for (int i = 8; i >= 0; --i) {
            out[i] = static_cast<char>('0' + g % 10u);
            g /= 10u;
        }
        out += 9;
    }
    return out;
}

/* Whole numbers (2^23 and above), infinities and NaNs, after the sign. */
GPX_RARE_PATH char* appendWholeOrSpecial(char* out, uint32_t biased, uint32_t fraction) {
    if (biased == 0xFFu) {
        memcpy(out, fraction != 0 ? "nan" : "inf", 3);
        return out + 3;
    }
    /* mantissa * 2^exponent, exponent from 0 to 104: no rounding, six zero
     * decimals. */
    const uint32_t mantissa = fraction | 0x800000u;
    const int exponent = static_cast<int>(biased) - 150;
    out = exponent <= 8 ? appendUnsigned32(out, mantissa << exponent)
                        : appendLargeInteger(out, mantissa, exponent);
    memcpy(out, ".000000", 7);
    return out + 7;
}

/* Values below 2^-9 (SHIFT above 32): no whole part, and the decimals
 * need more than 32 bits of fraction. The product stays below 2^44, so
 * from a shift of 45 on the decimals are 0. */
GPX_RARE_PATH char* appendTiny(char* out, uint32_t mantissa, int shift) {
    uint32_t micros = 0;
    if (shift <= 44) {
        const uint64_t scaled = static_cast<uint64_t>(mantissa) * 1000000u;
        const uint64_t half = static_cast<uint64_t>(1) << (shift - 1);
        const uint64_t rest = scaled & ((half << 1) - 1);
        micros = static_cast<uint32_t>(scaled >> shift);
        if (rest > half || (rest == half && (micros & 1u)))
            ++micros;
    }
    memcpy(out, "0.", 2);
    return appendSixDigits(out + 2, micros);
}

} // namespace

char* appendFixed6Rare(char* out, uint32_t bits) {
    const uint32_t biased = bits >> 23;
    const uint32_t fraction = bits & 0x7FFFFFu;
    if (biased >= 150u)
        return appendWholeOrSpecial(out, biased, fraction);
    return appendTiny(out, biased == 0 ? fraction : (fraction | 0x800000u),
                      biased == 0 ? 149 : 150 - static_cast<int>(biased));
}

char* appendIntAnyWidth(char* out, int32_t value, int width) {
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
        --width;
    }
    for (int pad = width - digitCount(magnitude); pad > 0; --pad)
        *out++ = '0';
    return appendUnsigned32(out, magnitude);
}

void addOneSecond(LocalTime* t) {
    if (++t->second < 60)
        return;
    t->second = 0;
    if (++t->minute < 60)
        return;
    t->minute = 0;
    if (++t->hour < 24)
        return;
    t->hour = 0;
    static const int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int32_t y = t->year;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int32_t days =
        t->month >= 1 && t->month <= 12 ? kDays[t->month - 1] + (t->month == 2 && leap) : 31;
    if (++t->day <= days)
        return;
    t->day = 1;
    if (++t->month <= 12)
        return;
    t->month = 1;
    ++t->year;
}
