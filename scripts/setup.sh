#!/usr/bin/env bash
# Installs the Debian packages Kelvor's build and tests need, if any are missing. Safe to re-run.
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev libgmock-dev python3 procps git
          clang libclang-rt-14-dev clang-tidy clang-format cppcheck
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          wine64 xvfb xauth x11-utils imagemagick)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
