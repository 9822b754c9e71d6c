#!/usr/bin/env bash
# Configures and builds everything into build/: the native unit tests, the sanitizer builds, the
# fuzzers, both Kelvor.exe and the release (installer packages and zip).
# --stages: one line per stage, saying what it builds and how long it took, instead of the build's
# whole output, which goes to build/build.log (if a stage fails, its end is shown with the path).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != --stages ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
    exec cmake --build build -j"$(nproc)"
fi
mkdir -p build
stage_prefix=build stage_log=build/build.log
: >"$stage_log"
. scripts/stage.sh
target() { cmake --build build -j"$(nproc)" --target "$1"; }
step() {  # step WHAT COMMAND...: a stage that ends the build if it fails
    local status=0
    stage "$@" || status=$?
    [ $status -eq 0 ] && return 0
    stage_log_end "failed; the build's"
    exit $status
}

# The sub-builds (cmake/native.cmake) build the same project again, so their own targets repeat
# each other's names: the stages go by the top-level targets instead, one after the other, each
# of them parallel inside.
first=""
[ -f build/CMakeCache.txt ] || first=" (the first build takes a few minutes in all)"
step "configuring$first" cmake -S . -B build -DCMAKE_BUILD_TYPE=MinSizeRel
step "native unit tests against the Win32 stand-in (build/tests/kelvor_unit)" target kelvor_unit
step "unit tests with AddressSanitizer and UBSan (build/address)" target kelvor_address
step "unit tests with ThreadSanitizer (build/thread)" target kelvor_thread
step "fuzzers, with clang and libFuzzer (build/fuzz)" target kelvor_fuzz
step "i686 exe, the shipping one (build/i686/Kelvor.exe)" target kelvor_i686
step "x86_64 exe (build/x86_64/Kelvor.exe)" target kelvor_x86_64
# Last, everything else the build holds: the installer packages and the release zip.
step "installer packages and release zip (build/Kelvor-*.msi, build/Kelvor-*.zip)" \
    cmake --build build -j"$(nproc)"
