# Native build: the module's code against the Win32 stand-in, its unit tests, and both cross builds
# of Kelvor.exe as sub-builds, so that `cmake --build` and `ctest` in one folder do everything.
# Sanitizer builds: only the unit tests, with AddressSanitizer and UndefinedBehaviorSanitizer
# (KELVOR_SANITIZE=address) or ThreadSanitizer (thread).
set(KELVOR_SANITIZE "" CACHE STRING "address or thread: build only the unit tests with it")
if(KELVOR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KELVOR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
endif()

set(CMAKE_EXPORT_COMPILE_COMMANDS ON)  # for clang-tidy
add_subdirectory(tests/stubs)
if(KELVOR_SANITIZE)
  enable_testing()
  add_subdirectory(tests)
  return()
endif()

# Fuzzing build (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer): fuzzers only.
option(KELVOR_FUZZ "Build only the fuzz targets (with clang)" OFF)
set(KELVOR_FUZZERS fuzz_options fuzz_request fuzz_dialog)
if(KELVOR_FUZZ)
  add_subdirectory(tests/fuzz)
  return()
endif()

include(ExternalProject)
ExternalProject_Add(kelvor_fuzz
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=clang++ -DKELVOR_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
set(KELVOR_FUZZ_SECONDS 10 CACHE STRING "How long each fuzzer searches in the test suite")
set(KELVOR_FUZZ_LONG_SECONDS 3600 CACHE STRING "How long each fuzzer searches with -L fuzz-long")

foreach(sanitizer address thread)
  ExternalProject_Add(kelvor_${sanitizer}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${sanitizer}
    CMAKE_ARGS -DKELVOR_SANITIZE=${sanitizer} -DCMAKE_BUILD_TYPE=RelWithDebInfo
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
endforeach()

foreach(arch i686 x86_64)
  ExternalProject_Add(kelvor_${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${arch}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-${arch}.cmake
               -DCMAKE_BUILD_TYPE=MinSizeRel
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON)
  set(KELVOR_EXE_${arch} ${CMAKE_BINARY_DIR}/${arch}/Kelvor.exe)
endforeach()

# The installer packages (wixl) and the release zip (built with everything, it takes a moment):
# both executables, both packages, the administrator's guide, the licence, registry presets, the
# Group Policy template and SHA256SUMS, byte for byte the same from the same source; signed when a
# key is given (see scripts/make_release.py).
set(KELVOR_MSI_x86 ${CMAKE_BINARY_DIR}/Kelvor-${KELVOR_VERSION_TEXT}-x86.msi)
set(KELVOR_MSI_x64 ${CMAKE_BINARY_DIR}/Kelvor-${KELVOR_VERSION_TEXT}-x64.msi)
set(KELVOR_ZIP ${CMAKE_BINARY_DIR}/Kelvor-${KELVOR_VERSION_TEXT}.zip)
add_custom_target(package ALL
  COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/make_release.py --version ${PROJECT_VERSION}
          --version-text ${KELVOR_VERSION_TEXT} --source ${CMAKE_SOURCE_DIR}
          --i686 ${KELVOR_EXE_i686} --x86_64 ${KELVOR_EXE_x86_64} --out ${CMAKE_BINARY_DIR}
  DEPENDS kelvor_i686 kelvor_x86_64
  VERBATIM)

enable_testing()
add_subdirectory(tests)
