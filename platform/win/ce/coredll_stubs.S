/* Calls into coredll.dll for the Windows CE ARM build (ARM code, ARMv4T).
 *
 * Each stub loads its import address slot through a literal word, so that
 * the only relocation is a 32-bit absolute one (HIGHLOW), and enters the
 * entry with `bx`: on an ARMv4T system coredll may be Thumb code, and
 * neither `ldr pc` nor `mov pc` switches state there.
 *
 * The slots are ours too: one word each in a section .ce_iat.<entry>, named
 * __imp_<entry>. The linker keeps the slots of the stubs that are called,
 * and cmake/ce_elf2pe.py makes them the image's import address table,
 * filled by the CE loader. */
    .syntax unified
    .arm

.macro coredll_stub name, entry
    .section .ce_iat.\entry,"aw",%progbits
    .p2align 2
    .globl __imp_\entry
__imp_\entry:
    .long 0

    .section .text.\name,"ax",%progbits
    .globl \name
    .type \name, %function
    .p2align 2
\name:
    ldr r12, 1f
    ldr r12, [r12]
    bx r12
1:
    .long __imp_\entry
    .size \name, . - \name
.endm

    coredll_stub CloseHandle, CloseHandle
    coredll_stub CreateEventW, CreateEventW
    coredll_stub CreateFileW, CreateFileW
    coredll_stub CreateThread, CreateThread
    coredll_stub EventModify, EventModify
    coredll_stub FreeLibrary, FreeLibrary
    coredll_stub GetLastError, GetLastError
    coredll_stub GetLocalTime, GetLocalTime
    coredll_stub GetProcAddressW, GetProcAddressW
    coredll_stub LoadLibraryW, LoadLibraryW
    coredll_stub SetEndOfFile, SetEndOfFile
    coredll_stub SetFilePointer, SetFilePointer
    coredll_stub SetLastError, SetLastError
    coredll_stub Sleep, Sleep
    coredll_stub WaitForMultipleObjects, WaitForMultipleObjects
    coredll_stub WaitForSingleObject, WaitForSingleObject
    coredll_stub WriteFile, WriteFile
    coredll_stub memcpy, memcpy
    coredll_stub memset, memset
    /* The system's exchanges (platform/atomic.h). */
    coredll_stub coredllInterlockedExchange, InterlockedExchange
    coredll_stub coredllInterlockedCompareExchange, InterlockedCompareExchange
    /* The single precision helpers the compiler calls, under coredll's
     * names: both take and return their values in the same registers. */
    coredll_stub __aeabi_fmul, __muls
    coredll_stub __aeabi_d2f, __dtos

/* The compiler's clear of r1 bytes at r0, which coredll's memset does with
 * its arguments in another order. */
    .section .text.__aeabi_memclr,"ax",%progbits
    .globl __aeabi_memclr
    .globl __aeabi_memclr4
    .globl __aeabi_memclr8
    .type __aeabi_memclr, %function
    .p2align 2
__aeabi_memclr:
__aeabi_memclr4:
__aeabi_memclr8:
    mov r2, r1
    mov r1, #0
    b memset
    .size __aeabi_memclr, . - __aeabi_memclr

/* The DLL's entry: no C runtime to start, nothing to do. */
    .section .text.DllEntry,"ax",%progbits
    .globl DllEntry
    .type DllEntry, %function
    .p2align 2
DllEntry:
    mov r0, #1
    bx lr
    .size DllEntry, . - DllEntry
