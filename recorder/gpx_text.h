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

/* Writes VALUE, widened to double, as "%f" does: six digits after the
 * point, ties to even. Infinities and NaNs give "inf" and "nan". Returns
 * the end of the text; nothing is terminated. */
char* appendFixed6(char* out, float value);

/* appendInt for values outside its short paths. */
char* appendIntAnyWidth(char* out, int32_t value, int width);

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
