/* Our plugins' own helper, not part of the SDK: the few wide-string
 * operations the plugins need, written here so that they behave the same
 * on every target whatever width wchar_t has there. */
#ifndef INTERNAL_WIDE_STRING_H
#define INTERNAL_WIDE_STRING_H

#include "../contract/base.h"

/* Copies at most capacity - 1 units of SRC into DST and terminates it.
 * Returns the number of units copied. capacity must be at least 1. */
size_t wideCopyBounded(WideChar* dst, size_t capacity, const WideChar* src);

/* Length of S, in code units. */
size_t wideLength(const WideChar* s);

/* Whole-string, case-sensitive equality of S and the ASCII text ASCII. */
bool wideEqualsAscii(const WideChar* s, const char* ascii);

/* Reads a decimal integer: leading blanks and one sign allowed, reading
 * stops at the first non-digit, no digits give 0. Values beyond the 32-bit
 * range saturate at its ends. */
int32_t wideToInt32(const WideChar* s);

#endif
