# The provider as a Windows CE ARM DLL: build/ce-arm/bin/orvane.dll, one
# DLL for every ARM CPU CE runs on (ARMv4T to ARMv7).
#
# ARM code for ARMv4T (-mcpu=arm920t): no instruction a later generation
# added, and no ldrd/strd, which fault on the 4-byte aligned stacks CE
# guarantees (AAPCS code assumes 8). Soft float: single precision goes
# through coredll's helpers. Calls into other modules, which may be Thumb
# code, go through `bx` (platform/win/ce/coredll_stubs.S; clang's ARMv4T
# calls through pointers do as well). The Windows headers are mingw-w64's,
# their dllimport switched off: coredll is called through our own stubs.
#
# No linker writes a CE ARM PE: ld.lld links a static ELF image at the
# image base (cmake/ce-arm.ld), keeping its relocations, and
# cmake/ce_elf2pe.py writes the DLL from it; cmake/ce_pe.py then checks
# every property a CE loader and the CPUs need, instructions included.
enable_language(ASM)
find_program(CE_LLD NAMES ld.lld ld.lld-14 REQUIRED)
set(CE_PYTHON /usr/bin/python3)
set(MINGW_INCLUDE /usr/share/mingw-w64/include CACHE PATH "mingw-w64 headers")
set(CE_DIR ${CMAKE_SOURCE_DIR}/platform/win/ce)
set(CE_ARCH -marm -mcpu=arm920t -mfloat-abi=soft)

add_library(orvane_ce OBJECT
    provider/provider.cpp provider/conversion.cpp provider/handover.cpp
    internal/settings.cpp internal/wide_string.cpp
    platform/win/platform_win.cpp ${CE_DIR}/coredll_stubs.S)
target_compile_definitions(orvane_ce PRIVATE _WIN32 _WIN32_WCE=0x600 DECLSPEC_IMPORT=)
target_include_directories(orvane_ce SYSTEM PRIVATE ${MINGW_INCLUDE})
target_compile_options(orvane_ce PRIVATE ${CE_ARCH} -ffunction-sections -fdata-sections
    $<$<COMPILE_LANGUAGE:CXX>:-std=c++03 -pedantic -fno-exceptions -fno-rtti -O2
                              -fshort-wchar -fdeclspec -ffreestanding -fno-unwind-tables
                              -fomit-frame-pointer
                              -Wall -Wextra -Werror>)

# The same version resource as the desktop DLLs, FILEOS plain 32-bit Windows
# as CE's own DLLs carry.
find_program(CE_RC NAMES llvm-rc llvm-rc-14 REQUIRED)
navplugins_version_rc(orvane 0x4L ${CMAKE_BINARY_DIR}/orvane_version.rc)
set(CE_RES ${CMAKE_BINARY_DIR}/orvane_version.res)
# llvm-rc reads any argument that starts with '/' as an option, so an absolute
# POSIX path such as /check/... is taken for its /C switch: give it names
# relative to the build directory.
add_custom_command(OUTPUT ${CE_RES}
    COMMAND ${CE_RC} /fo orvane_version.res orvane_version.rc
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS ${CMAKE_BINARY_DIR}/orvane_version.rc
    COMMENT "Version resource")

# lld warns that it would use blx for ARM/Thumb calls, which ARMv4T lacks;
# no such call exists here, and the check below refuses any blx.
set(CE_ELF ${CMAKE_BINARY_DIR}/lib/orvane.elf)
set(CE_DLL ${CMAKE_BINARY_DIR}/bin/orvane.dll)
add_custom_command(OUTPUT ${CE_DLL} BYPRODUCTS ${CE_ELF}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin ${CMAKE_BINARY_DIR}/lib
    COMMAND ${CE_LLD} -static --emit-relocs --gc-sections --build-id=none
            -T ${CMAKE_SOURCE_DIR}/cmake/ce-arm.ld --undefined=pluginPreInitMethod
            -o ${CE_ELF} $<TARGET_OBJECTS:orvane_ce>
    COMMAND ${CE_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/ce_elf2pe.py ${CE_ELF} ${CE_RES} ${CE_DLL}
    COMMAND ${CE_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/ce_pe.py check ${CE_DLL}
    DEPENDS orvane_ce $<TARGET_OBJECTS:orvane_ce> ${CE_RES}
            ${CMAKE_SOURCE_DIR}/cmake/ce-arm.ld ${CMAKE_SOURCE_DIR}/cmake/ce_elf2pe.py
            ${CMAKE_SOURCE_DIR}/cmake/ce_pe.py ${CMAKE_SOURCE_DIR}/cmake/arm_code.py
    COMMAND_EXPAND_LISTS
    COMMENT "Linking and writing the CE ARM orvane.dll")
add_custom_target(orvane ALL DEPENDS ${CE_DLL})

# The DLL run on emulated ARM CPUs of each generation through a loader of
# ours: ARMv4T, ARMv5TE, XScale, ARMv6 and ARMv7.
enable_testing()
foreach(cpu TI925T ARM926 PXA270 ARM1176 CORTEX_A8)
    add_test(NAME arm_run_${cpu}
        COMMAND ${CE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/arm/test_ce_arm.py ${CE_DLL} ${cpu})
    set_tests_properties(arm_run_${cpu} PROPERTIES TIMEOUT 600)
endforeach()
