/* navplugin/base.h: the basic types, calling convention and export macro
 * of the plugin contract. Every public header of the contract compiles as
 * C89, C99 and later, and as C++03 and later, with nothing beyond the C
 * library; the layouts are fixed, so a host and a plugin built with
 * different compilers (or languages) still agree on every byte. */
#ifndef CONTRACT_BASE_H
#define CONTRACT_BASE_H

#include <stddef.h>

#if defined(_MSC_VER) && _MSC_VER < 1600
/* Old compilers of Windows CE device SDKs have no <stdint.h>. */
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
 * is 32 bits wide, so a 16-bit unsigned type stands in. Every string that
 * crosses the contract (names, setting keys and values, paths) is a
 * zero-terminated array of these. */
#if defined(_WIN32)
typedef wchar_t WideChar;
#else
typedef uint16_t WideChar;
#endif

/* The calling convention of every entry that crosses the contract, in both
 * directions: the C convention, in which the caller removes the arguments,
 * so an entry may ignore arguments it is given. Only 32-bit x86 Windows has
 * a choice to make; elsewhere the platform has one convention. */
#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define PLUGIN_CALL __cdecl
#else
#define PLUGIN_CALL
#endif

/* C linkage from C and C++ alike. */
#if defined(__cplusplus)
#define PLUGIN_EXTERN_C extern "C"
#else
#define PLUGIN_EXTERN_C extern
#endif

/* Put in front of a plugin's one export, pluginPreInitMethod:
 *
 *     PLUGIN_EXPORT PluginDescriptor* PLUGIN_CALL pluginPreInitMethod(void)
 *
 * It gives the entry C linkage (an undecorated name) and makes it the only
 * symbol the library exports: on Windows through dllexport, so that a DLL
 * linked without a .def file no longer exports every global; on other
 * systems through default visibility, meant for builds with
 * -fvisibility=hidden (a Windows build compiled to ELF objects, whose export
 * table is written after the link, counts as such a system). The SDK's
 * plugin.def and exports.map state the same export for the linker; use them
 * as well. */
#if defined(_WIN32) && !defined(__ELF__)
#define PLUGIN_EXPORT PLUGIN_EXTERN_C __declspec(dllexport)
#elif defined(__GNUC__)
#define PLUGIN_EXPORT PLUGIN_EXTERN_C __attribute__((visibility("default")))
#else
#define PLUGIN_EXPORT PLUGIN_EXTERN_C
#endif

/* Compile-time assertion, usable at file scope in C89 and C++03. */
#define CONTRACT_JOIN2(a, b) a##b
#define CONTRACT_JOIN(a, b) CONTRACT_JOIN2(a, b)
#define CONTRACT_STATIC_ASSERT(cond, what)                                                         \
    typedef char CONTRACT_JOIN(contract_assert_##what##_, __LINE__)[(cond) ? 1 : -1]

/* True when pointers are 4 bytes wide, as on every deliverable target. The
 * layouts that hold pointers are checked only there: a 64-bit build keeps
 * their field order but not their offsets. */
#if defined(_WIN64) || defined(__LP64__) || defined(_LP64)
#define CONTRACT_32BIT 0
#else
#define CONTRACT_32BIT 1
#endif

#endif
