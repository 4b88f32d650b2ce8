# The provider as a Windows CE ARM DLL: build/ce-arm/bin/orvane.dll.
#
# clang turns every ARM Windows triple into Thumb-2 (ARMv7). -mfpu=none
# keeps VFP out (single precision goes through coredll's helpers);
# -mno-movt keeps every address load a literal word, relocated HIGHLOW,
# which older CE loaders apply (they skip MOVW/MOVT pairs). With -mno-movt,
# calls through dllimport declarations come out mis-addressed, so the
# headers' dllimport is switched off and coredll is called through our own
# stubs (platform/win/ce). lld cannot write the CE machine and subsystem
# and misaligns the export and import directories: cmake/ce_pe.py fixes
# and checks the result after each link.
enable_language(ASM)
find_program(CE_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(CE_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
set(CE_PYTHON /usr/bin/python3)
set(MINGW_INCLUDE /usr/share/mingw-w64/include CACHE PATH "mingw-w64 headers")
set(CE_DIR ${CMAKE_SOURCE_DIR}/platform/win/ce)

add_library(orvane_ce OBJECT
    provider/provider.cpp provider/conversion.cpp provider/handover.cpp
    internal/settings.cpp internal/wide_string.cpp
    platform/win/platform_win.cpp ${CE_DIR}/coredll_stubs.S)
target_compile_definitions(orvane_ce PRIVATE _WIN32_WCE=0x600 DECLSPEC_IMPORT=)
target_include_directories(orvane_ce SYSTEM PRIVATE ${MINGW_INCLUDE})
target_compile_options(orvane_ce PRIVATE -mfpu=none -mno-movt -ffunction-sections
    -fdata-sections
    $<$<COMPILE_LANGUAGE:CXX>:-std=c++03 -pedantic -fno-exceptions -fno-rtti -O2
                              -Wall -Wextra -Werror>)

set(CE_COREDLL ${CMAKE_BINARY_DIR}/lib/libcoredll.a)
add_custom_command(OUTPUT ${CE_COREDLL}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
    COMMAND ${CE_DLLTOOL} -m arm -d ${CE_DIR}/coredll.def -l ${CE_COREDLL}
    DEPENDS ${CE_DIR}/coredll.def
    COMMENT "coredll import library")

# The same version resource as the desktop DLLs, FILEOS plain 32-bit Windows
# as CE's own DLLs carry; lld-link takes the compiled .res as it is.
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

set(CE_DLL ${CMAKE_BINARY_DIR}/bin/orvane.dll)
add_custom_command(OUTPUT ${CE_DLL}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
    COMMAND ${CE_LLD_LINK} /dll /machine:arm /nodefaultlib /entry:DllEntry
            /def:${CMAKE_SOURCE_DIR}/provider/orvane.def /base:0x10000000 /opt:ref
            /opt:noicf /Brepro /out:${CE_DLL} /implib:${CMAKE_BINARY_DIR}/lib/orvane.lib
            $<TARGET_OBJECTS:orvane_ce> ${CE_COREDLL} ${CE_RES}
    COMMAND ${CE_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/ce_pe.py fix ${CE_DLL}
    DEPENDS orvane_ce $<TARGET_OBJECTS:orvane_ce> ${CE_COREDLL} ${CE_RES}
            ${CMAKE_SOURCE_DIR}/provider/orvane.def ${CMAKE_SOURCE_DIR}/cmake/ce_pe.py
    COMMAND_EXPAND_LISTS
    COMMENT "Linking and fixing up the CE ARM orvane.dll")
add_custom_target(orvane ALL DEPENDS ${CE_DLL})

# The DLL run on an emulated ARM CPU through a loader of ours.
enable_testing()
add_test(NAME arm_run
    COMMAND ${CE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/arm/test_ce_arm.py ${CE_DLL})
set_tests_properties(arm_run PROPERTIES TIMEOUT 600)
