#!/usr/bin/env bash
# Builds Kelvor.exe for both targets and says where they are.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
echo "Kelvor.exe (i686, shipping):  $PWD/build/i686/Kelvor.exe"
echo "Kelvor.exe (x86_64):          $PWD/build/x86_64/Kelvor.exe"
