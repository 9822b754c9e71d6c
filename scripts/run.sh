#!/usr/bin/env bash
# Installs what is missing, builds, and runs the real Kelvor.exe under Wine with the given options,
# reporting what it asked Windows to do. Example: scripts/run.sh /Reboot /Time: 5
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
echo "Built: build/i686/Kelvor.exe (shipping, 32-bit) and build/x86_64/Kelvor.exe (run here)"
exec python3 scripts/kelvor-wine.py "$@"
