#include "gpx_text.h"

#include <string.h>

namespace {

uint32_t floatBits(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

/* Writes the decimal digits of V, without padding. */
char* appendUnsigned(char* out, uint64_t v) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10u);
        v /= 10u;
    } while (v != 0);
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

/* Writes MANTISSA * 2^SHIFT, an integer of up to 128 bits, in decimal. */
char* appendLargeInteger(char* out, uint32_t mantissa, int shift) {
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
    out = appendUnsigned(out, groups[--count]);
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

} // namespace

bool isFiniteFloat(float value) {
    return (floatBits(value) & 0x7F800000u) != 0x7F800000u;
}

char* appendFixed6(char* out, float value) {
    const uint32_t bits = floatBits(value);
    if (bits >> 31)
        *out++ = '-';
    const uint32_t biased = (bits >> 23) & 0xFFu;
    const uint32_t fraction = bits & 0x7FFFFFu;
    if (biased == 0xFFu) {
        memcpy(out, fraction != 0 ? "nan" : "inf", 3);
        return out + 3;
    }
    /* |value| = mantissa * 2^exponent exactly. */
    const uint32_t mantissa = biased == 0 ? fraction : (fraction | 0x800000u);
    const int exponent = biased == 0 ? -149 : static_cast<int>(biased) - 150;

    if (exponent >= 0) {
        /* A whole number: no rounding, six zero decimals. */
        out = exponent <= 39 ? appendUnsigned(out, static_cast<uint64_t>(mantissa) << exponent)
                             : appendLargeInteger(out, mantissa, exponent);
        memcpy(out, ".000000", 7);
        return out + 7;
    }

    /* micros = round(mantissa * 10^6 / 2^shift), ties to even. The product
     * stays below 2^44, so from a shift of 45 on the result is 0. */
    const int shift = -exponent;
    uint64_t micros = 0;
    if (shift <= 44) {
        const uint64_t scaled = static_cast<uint64_t>(mantissa) * 1000000u;
        const uint64_t half = static_cast<uint64_t>(1) << (shift - 1);
        const uint64_t rest = scaled & ((half << 1) - 1);
        micros = scaled >> shift;
        if (rest > half || (rest == half && (micros & 1u)))
            ++micros;
    }
    out = appendUnsigned(out, micros / 1000000u);
    *out++ = '.';
    uint32_t decimals = static_cast<uint32_t>(micros % 1000000u);
    for (int i = 5; i >= 0; --i) {
        out[i] = static_cast<char>('0' + decimals % 10u);
        decimals /= 10u;
    }
    return out + 6;
}

char* appendInt(char* out, int32_t value, int width) {
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
        --width;
    }
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0);
    for (int pad = width - n; pad > 0; --pad)
        *out++ = '0';
    while (n > 0)
        *out++ = digits[--n];
    return out;
}
