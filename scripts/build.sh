#!/usr/bin/env bash
# Configures and builds everything into build/: the native unit tests and both Kelvor.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build -j"$(nproc)"
