/* Text of the numbers in a track file. Written here rather than taken from
 * printf because the bytes must not depend on the C runtime or the host's
 * locale: each value is the correctly rounded text that the "C" locale's
 * printf gives, on every target. Every point of a track goes through these,
 * so the common cases take short paths without division loops. */
#ifndef RECORDER_GPX_TEXT_H
#define RECORDER_GPX_TEXT_H

#include "../contract/base.h"
#include "../platform/platform.h"

#include <string.h>

/* Longest text appendFixed6 writes: sign, 39 integer digits, point, six
 * decimals. */
#define GPX_FIXED6_MAX 47
/* Longest text appendInt writes: sign and ten digits. */
#define GPX_INT_MAX 11

/* "00" to "99", two characters each. */
extern const char kDigitPairs[201];

/* appendFixed6 for the values outside its short path: 2^23 and above,
 * below 2^-9, infinities and NaNs. BITS are the value's, sign cleared; the
 * sign is written already. */
char* appendFixed6Rare(char* out, uint32_t bits);

/* appendInt for values outside its short paths. */
char* appendIntAnyWidth(char* out, int32_t value, int width);

/* Writes V (below 10^6) as exactly six digits: V / 10^4 as a 32.32 fixed
 * point number, whose fraction times 100 gives the next two digits in its
 * high word, twice. The constant is 2^32 / 10^4 rounded up; its excess,
 * at most 0.28 V, never reaches a digit for V below 10^6. Three
 * multiplications and no division. */
inline char* appendSixDigits(char* out, uint32_t v) {
    uint64_t t = static_cast<uint64_t>(v) * 429497u;
    memcpy(out, kDigitPairs + 2 * static_cast<uint32_t>(t >> 32), 2);
    t = static_cast<uint64_t>(static_cast<uint32_t>(t)) * 100u;
    memcpy(out + 2, kDigitPairs + 2 * static_cast<uint32_t>(t >> 32), 2);
    t = static_cast<uint64_t>(static_cast<uint32_t>(t)) * 100u;
    memcpy(out + 4, kDigitPairs + 2 * static_cast<uint32_t>(t >> 32), 2);
    return out + 6;
}

/* Writes VALUE, widened to double, as "%f" does: six digits after the
 * point, ties to even. Infinities and NaNs give "inf" and "nan". Returns
 * the end of the text; nothing is terminated. Inline, as every point
 * writes four of these: the short path costs no call. */
inline char* appendFixed6(char* out, float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    if (bits >> 31)
        *out++ = '-';
    bits &= 0x7FFFFFFFu;
    /* |value| = mantissa / 2^shift exactly. The short path takes shifts
     * from 1 to 32 (2^-9 <= |value| < 2^23), whose fraction fits 32 bits. */
    const uint32_t biased = bits >> 23;
    if (biased - 118u >= 32u)
        return appendFixed6Rare(out, bits);
    const uint32_t shift = 150u - biased;
    const uint32_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
    uint32_t whole = (mantissa >> 1) >> (shift - 1);
    /* The fraction in 32 bits (the shift drops the whole part), times
     * 10^6: the high word is the decimals cut off, the low word what was
     * cut. Rounded to even, as 10^6 is even that is also how the value as
     * a whole rounds to millionths. One 32 x 32 bit multiplication, which
     * 32-bit targets do in one instruction. */
    const uint64_t product = static_cast<uint64_t>(mantissa << (32u - shift)) * 1000000u;
    uint32_t micros = static_cast<uint32_t>(product >> 32);
    const uint32_t rest = static_cast<uint32_t>(product);
    if (rest > 0x80000000u || (rest == 0x80000000u && (micros & 1u)))
        ++micros;
    if (micros == 1000000u) {
        micros = 0;
        ++whole;
    }
    /* Coordinates, altitudes and dilutions mostly have up to four digits
     * before the point. */
    if (whole < 10u) {
        *out++ = static_cast<char>('0' + whole);
    } else if (whole < 100u) {
        memcpy(out, kDigitPairs + 2 * whole, 2);
        out += 2;
    } else if (whole < 10000u) {
        const uint32_t high = whole / 100u;
        if (high < 10u) {
            *out++ = static_cast<char>('0' + high);
        } else {
            memcpy(out, kDigitPairs + 2 * high, 2);
            out += 2;
        }
        memcpy(out, kDigitPairs + 2 * (whole - high * 100u), 2);
        out += 2;
    } else {
        out = appendIntAnyWidth(out, static_cast<int32_t>(whole), 1);
    }
    *out++ = '.';
    return appendSixDigits(out, micros);
}

/* Writes VALUE as "%0*d" with WIDTH (at most 10) does. Returns the end. */
inline char* appendInt(char* out, int32_t value, int width) {
    const uint32_t v = static_cast<uint32_t>(value);
    if (width == 2 && v < 100u) {
        memcpy(out, kDigitPairs + 2 * v, 2);
        return out + 2;
    }
    if (width == 4 && v < 10000u) {
        const uint32_t high = v / 100u;
        memcpy(out, kDigitPairs + 2 * high, 2);
        memcpy(out + 2, kDigitPairs + 2 * (v - high * 100u), 2);
        return out + 4;
    }
    return appendIntAnyWidth(out, value, width);
}

/* Moves T on by one second, carrying into the minute, hour, day, month and
 * year of the proleptic Gregorian calendar (a track's next free name). */
void addOneSecond(LocalTime* t);

/* True when VALUE is neither infinite nor NaN. */
inline bool isFiniteFloat(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return (bits & 0x7F800000u) != 0x7F800000u;
}

#endif
