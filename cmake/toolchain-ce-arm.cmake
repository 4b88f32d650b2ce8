# Windows CE on ARM (ARMv4I: ARM code for ARMv4T, interworking with Thumb),
# with Debian's clang and lld and the mingw-w64 headers. No ARM Windows
# triple of clang emits anything but Thumb-2, so the code is compiled for
# bare-metal ARMv4T (AAPCS, ELF objects) and cmake/ce-arm.cmake links and
# writes the DLL itself. The system is "Generic" so that CMake adds nothing
# of its own.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CE_ARM_TARGET armv4t-none-eabi)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${CE_ARM_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${CE_ARM_TARGET})
set(CMAKE_ASM_COMPILER_TARGET ${CE_ARM_TARGET})
# Nothing can be linked before our own import stubs exist.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(NAVPLUGINS_CE_ARM ON CACHE BOOL "Build the Windows CE ARM provider" FORCE)
