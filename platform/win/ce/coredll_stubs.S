/* Calls into coredll.dll for the Windows CE ARM build. Each stub loads its
 * import address slot through a literal word, so that the only relocation
 * is a 32-bit absolute one (HIGHLOW), which every CE loader applies; the
 * linker's own import thunks would use a MOVW/MOVT pair instead. */
    .syntax unified
    .thumb

.macro coredll_stub name, entry
    .section .text$\name,"xr",discard,\name
    .globl \name
    .def \name
    .scl 2
    .type 32
    .endef
    .p2align 2
    .thumb_func
\name:
    ldr.w r12, 1f
    ldr.w r12, [r12]
    bx r12
    .p2align 2
1:
    .long __imp_\entry
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
    /* The single precision helpers, under coredll's names. */
    coredll_stub __mulsf3, __muls
    coredll_stub __truncdfsf2, __dtos

/* The DLL's entry: no C runtime to start, nothing to do. */
    .section .text$DllEntry,"xr"
    .globl DllEntry
    .def DllEntry
    .scl 2
    .type 32
    .endef
    .p2align 2
    .thumb_func
DllEntry:
    movs r0, #1
    bx lr
