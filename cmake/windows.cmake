# The real Kelvor.exe: no C runtime start-up (app/entry.cpp is the entry), no exceptions or RTTI,
# statically linked so that it imports only system DLLs, and reproducible (no time stamps).
enable_language(RC)
configure_file(res/version.h.in ${CMAKE_BINARY_DIR}/version.h)
add_compile_options(${KELVOR_CPU_FLAGS})  # the processor baseline, from the toolchain file

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(entry _KelvorEntry)
else()
  set(entry KelvorEntry)
endif()

add_executable(Kelvor WIN32 app/entry.cpp ${KELVOR_SOURCES} res/Kelvor.rc)
# windres reads the manifest and the icons; make a changed one rebuild the resources.
set_source_files_properties(res/Kelvor.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/res/Kelvor.manifest;${CMAKE_SOURCE_DIR}/res/left.ico;${CMAKE_SOURCE_DIR}/res/right.ico;${CMAKE_SOURCE_DIR}/res/resource.h")
target_include_directories(Kelvor PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/res ${CMAKE_BINARY_DIR})
target_compile_options(Kelvor PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -ffunction-sections -fdata-sections>)
target_link_options(Kelvor PRIVATE -nostartfiles -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp
  -Wl,-e,${entry})
target_link_libraries(Kelvor PRIVATE kernel32 user32 advapi32 msvcrt gcc)

# Test-only probe and tool stand-in for the end-to-end tests (x86_64 is the build that runs under
# Wine). Never shipped.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(probe WIN32 tests/e2e/probe.cpp)
  target_link_options(probe PRIVATE -static -mwindows)
  target_link_libraries(probe PRIVATE gdi32)
  add_executable(standin tests/e2e/standin.cpp)
  target_link_options(standin PRIVATE -static)
endif()

# The benchmark's floors, built exactly as Kelvor.exe is: the bare floor (ExitWindowsEx at once)
# and the design floor (only what the design needs before it acts). Never shipped.
set(floor_entry FloorEntry)
set(design_floor_entry DesignFloorEntry)
foreach(floor floor design_floor)
  add_executable(${floor} WIN32 bench/${floor}.cpp)
  target_compile_options(${floor} PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables)
  string(REPLACE "KelvorEntry" "${${floor}_entry}" this_entry ${entry})
  target_link_options(${floor} PRIVATE -nostartfiles -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp
    -Wl,-e,${this_entry})
  target_link_libraries(${floor} PRIVATE kernel32 user32 msvcrt gcc)
endforeach()
