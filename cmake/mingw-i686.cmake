# Cross toolchain: 32-bit Windows (PE32, the shipping target).
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
