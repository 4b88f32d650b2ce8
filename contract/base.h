/* Basic types shared by the plugins, the platform layer and the bench.
 * C++03 plus the C library only: the provider also builds with the old
 * compilers of Windows CE SDKs. */
#ifndef CONTRACT_BASE_H
#define CONTRACT_BASE_H

#include <stddef.h>

#if defined(_MSC_VER) && _MSC_VER < 1600
typedef signed char int8_t;
typedef unsigned char uint8_t;
typedef short int16_t;
typedef unsigned short uint16_t;
typedef int int32_t;
typedef unsigned int uint32_t;
typedef __int64 int64_t;
typedef unsigned __int64 uint64_t;
#else
#include <stdint.h>
#endif

/* One UTF-16 code unit. Windows' wchar_t is exactly that; elsewhere wchar_t
 * is 32 bits wide, so a 16-bit unsigned type stands in (C++03 has no
 * char16_t). Wide strings are zero-terminated arrays of these. */
#if defined(_WIN32)
typedef wchar_t WideChar;
#else
typedef uint16_t WideChar;
#endif

/* Every entry that crosses the host boundary uses the C calling convention:
 * the caller removes the arguments, so an entry may ignore what it is given.
 * Only 32-bit x86 Windows has a choice to make; elsewhere it is the only one. */
#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define PLUGIN_CALL __cdecl
#else
#define PLUGIN_CALL
#endif

/* Compile-time assertion usable at namespace scope in C++03. */
#define CONTRACT_JOIN2(a, b) a##b
#define CONTRACT_JOIN(a, b) CONTRACT_JOIN2(a, b)
#define CONTRACT_STATIC_ASSERT(cond, what)                                                         \
    typedef char CONTRACT_JOIN(contract_assert_##what##_, __LINE__)[(cond) ? 1 : -1]

/* True when pointers are 4 bytes wide, as on every deliverable target. The
 * binary layouts of the host boundary are checked only there: a 64-bit
 * development build keeps the field order but not the offsets. */
#if defined(_WIN64) || defined(__LP64__) || defined(_LP64)
#define CONTRACT_32BIT 0
#else
#define CONTRACT_32BIT 1
#endif

#endif
