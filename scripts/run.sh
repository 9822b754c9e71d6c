#!/usr/bin/env bash
# Installs what is missing, builds, and runs the real Kelvor.exe under Wine with the given options,
# reporting what it asked Windows to do. Example: scripts/run.sh /Reboot /Time: 5
# The shipping 32-bit build/i686/Kelvor.exe runs; KELVOR_ARCH=x86_64 runs the 64-bit one instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh --stages
exec /usr/bin/python3 scripts/kelvor-wine.py "$@"  # Debian's: the harness uses python3-pefile
