# Cross toolchain: 32-bit Windows (PE32, the shipping target).
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Kelvor's own code for the oldest processor Windows 95 runs on, a 386DX (which may have no 387):
# the compiler's default, pentiumpro, may use CMOV and FCOMI. The static libraries linked in keep
# the code they were built with; the static check reads the whole executable. A variable rather
# than CMAKE_CXX_FLAGS_INIT, which a build folder configured before would not see.
set(KELVOR_CPU_FLAGS -march=i386 -mtune=generic)
