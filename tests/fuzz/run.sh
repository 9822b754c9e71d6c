#!/usr/bin/env bash
# Runs one fuzzer for a bounded time: run.sh FUZZER CORPUS_DIR SEED_DIR SECONDS
# libFuzzer first runs every input of both corpora again (the regression check), then searches for
# the rest of the time. The working corpus grows between runs in the build folder; seeds come from
# the repository.
set -euo pipefail
fuzzer=$1 corpus=$2 seeds=$3 seconds=$4
mkdir -p "$corpus"
dict="$(dirname "$0")/kelvor.dict"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="$dict" "$corpus" "$seeds"
