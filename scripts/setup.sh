#!/usr/bin/env bash
# Installs and configures what Kelvor's build and tests need, if anything is missing: the Debian
# packages, and for the 32-bit Kelvor.exe Wine's 32-bit side, run through qemu-user where the
# kernel cannot execute 32-bit programs itself. Safe to re-run; quiet when everything is there.
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev libgmock-dev python3 procps git
          clang libclang-rt-14-dev clang-tidy clang-format cppcheck
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          wine64 xvfb xauth x11-utils imagemagick wixl msitools faketime)
# Wine's 32-bit loader and the X libraries its display driver loads.
packages_i386=(libc6:i386 wine32:i386 libxrender1:i386 libxrandr2:i386 libxi6:i386 libxcursor1:i386
               libxfixes3:i386 libxinerama1:i386 libxcomposite1:i386)
QEMU=/usr/bin/qemu-i386
BINFMT=/proc/sys/fs/binfmt_misc

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
updated=""
apt_update() { [ -n "$updated" ] || $sudo apt-get update -q; updated=1; }
install() {  # install [apt-get options...] -- packages...
    local opts=()
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    echo "setup: installing $*"
    apt_update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${opts[@]}" "$@"
}
missing() { local p; for p in "$@"; do installed "$p" || echo "$p"; done; }

mapfile -t want < <(missing "${packages[@]}")
[ ${#want[@]} -eq 0 ] || install -- "${want[@]}"

# qemu-user 10 from bookworm-backports: bookworm's own 7.2 takes about a minute of CPU to start
# each Wine process. The suite goes in a file of its own; the system's sources stay as they are.
if ! installed qemu-user || dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-user)" lt 1:10; then
    if ! grep -rqs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
        [ -n "$uri" ] || uri=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
        echo "deb ${uri:-http://deb.debian.org/debian} bookworm-backports main" |
            $sudo tee /etc/apt/sources.list.d/kelvor-bookworm-backports.list >/dev/null
        updated=""
    fi
    install --no-install-recommends -t bookworm-backports -- qemu-user
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    updated=""
fi
installed libc6:i386 || install --no-install-recommends -- libc6:i386

# 32-bit ELF programs go to qemu-i386, only where the kernel cannot run them. Registered before
# the other i386 packages, whose own scripts run 32-bit helpers; the entry does not survive a
# reboot, so it is checked every time. F: qemu is opened now and serves every later exec.
if [ -e $BINFMT/qemu-i386 ] && ! grep -qx "interpreter $QEMU" $BINFMT/qemu-i386; then
    echo -1 | $sudo tee $BINFMT/qemu-i386 >/dev/null  # another qemu's entry
fi
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    [ -e $BINFMT/register ] || $sudo mount -t binfmt_misc binfmt_misc $BINFMT
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:$QEMU:F" | $sudo tee $BINFMT/register >/dev/null
    /lib/ld-linux.so.2 --version >/dev/null 2>&1 || { echo "setup: 32-bit programs still cannot start" >&2; exit 1; }
    echo "setup: 32-bit programs run through $QEMU"
fi

mapfile -t want < <(missing "${packages_i386[@]}")
[ ${#want[@]} -eq 0 ] || install --no-install-recommends -- "${want[@]}"
