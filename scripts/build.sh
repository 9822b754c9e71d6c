#!/usr/bin/env bash
# Configures and builds everything into build/: the native unit tests and both Kelvor.exe.
# --stages: instead of the build's whole output, one line per stage (the full output goes to
# build/build.log, and its end is shown if the build fails).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != --stages ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
    exec cmake --build build -j"$(nproc)"
fi
mkdir -p build
[ -f build/CMakeCache.txt ] || echo "build: configuring (first build: about five minutes in all)"
status=0
{ cmake -S . -B build -DCMAKE_BUILD_TYPE=MinSizeRel && cmake --build build -j"$(nproc)"; } 2>&1 |
    tee build/build.log |
    sed -u -n -E "s/.*Performing build step for '([a-z_0-9]+)'.*/build: building \1/p;
                  s/.*Built target ([A-Za-z_0-9]+)$/build: built \1/p" || status=$?
if [ $status -ne 0 ]; then
    tail -n 30 build/build.log >&2
    echo "build: failed; the whole output is in build/build.log" >&2
    exit $status
fi
