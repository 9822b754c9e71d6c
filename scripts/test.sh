#!/usr/bin/env bash
# Everything from a fresh machine: install what is missing, build, run every test (ctest).
# Extra arguments go to ctest, e.g. `scripts/test.sh -L unit`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
# The fresh-root test and the long fuzzing run only when asked for by name or label (-L setup,
# -L fuzz-long). Tests run side by side, as many as there are cores, unless -j says otherwise.
case " $* " in *setup*|*fuzz-long*|*_long*) ;; *) set -- -LE '^(setup|fuzz-long)$' "$@" ;; esac
case " $* " in *" -j"*|*" --parallel"*) ;; *) set -- -j"$(nproc)" "$@" ;; esac
ctest --test-dir build --output-on-failure "$@"
