/* Text of the numbers in a track file. Written here rather than taken from
 * printf because the bytes must not depend on the C runtime or the host's
 * locale: each value is the correctly rounded text that the "C" locale's
 * printf gives, on every target. */
#ifndef RECORDER_GPX_TEXT_H
#define RECORDER_GPX_TEXT_H

#include "../contract/base.h"

/* Longest text appendFixed6 writes: sign, 39 integer digits, point, six
 * decimals. */
#define GPX_FIXED6_MAX 47
/* Longest text appendInt writes: sign and ten digits. */
#define GPX_INT_MAX 11

/* Writes VALUE, widened to double, as "%f" does: six digits after the
 * point, ties to even. Infinities and NaNs give "inf" and "nan". Returns
 * the end of the text; nothing is terminated. */
char* appendFixed6(char* out, float value);

/* Writes VALUE as "%0*d" with WIDTH (at most 10) does. Returns the end. */
char* appendInt(char* out, int32_t value, int width);

/* True when VALUE is neither infinite nor NaN. */
bool isFiniteFloat(float value);

#endif
