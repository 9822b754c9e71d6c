# Cross toolchain: 64-bit Windows (PE32+, the build run under Wine).
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
