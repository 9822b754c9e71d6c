#!/usr/bin/env bash
# The benchmark in one command: installs what is missing, builds, measures, writes
# bench/results/<date>.md and bench/results/latest.md. Arguments go to bench.py (--runs N).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh --stages
exec python3 bench/bench.py "$@"
