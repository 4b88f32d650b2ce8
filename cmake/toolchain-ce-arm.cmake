# Windows CE on ARMv7 (Thumb-2), with Debian's clang and lld and the
# mingw-w64 headers. The system is "Generic" so that CMake adds nothing of
# its own: cmake/ce-arm.cmake compiles, links and fixes up the DLL itself.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CE_ARM_TARGET armv7-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${CE_ARM_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${CE_ARM_TARGET})
set(CMAKE_ASM_COMPILER_TARGET ${CE_ARM_TARGET})
# Nothing can be linked before our own import stubs exist.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(NAVPLUGINS_CE_ARM ON CACHE BOOL "Build the Windows CE ARM provider" FORCE)
