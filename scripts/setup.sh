#!/usr/bin/env bash
# Installs and configures what Kelvor's build and tests need, if anything is missing: the Debian
# packages, and for the 32-bit Kelvor.exe Wine's 32-bit side, run through qemu-user where the
# kernel cannot execute 32-bit programs itself. Safe to re-run; silent when everything is there.
# KELVOR_I386=qemu sends 32-bit programs through qemu-user even where the kernel runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ googletest libgtest-dev libgmock-dev python3 procps git
          clang libclang-rt-14-dev clang-tidy clang-format cppcheck
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          wine64 xvfb xauth x11-utils xdotool imagemagick wixl msitools faketime libxml2-utils
          softhsm2 libengine-pkcs11-openssl python3-pefile)
# Wine's 32-bit loader and the X libraries its display driver loads.
packages_i386=(libc6:i386 wine32:i386 libxrender1:i386 libxrandr2:i386 libxi6:i386 libxcursor1:i386
               libxfixes3:i386 libxinerama1:i386 libxcomposite1:i386)
QEMU=/usr/bin/qemu-i386
BINFMT=/proc/sys/fs/binfmt_misc
native=$(dpkg --print-architecture)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
say() { echo "setup: $*"; }
missing() {  # the named packages (NAME or NAME:ARCH) that are not installed
    local have
    have=$(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' "${@%%:*}" 2>/dev/null |
           awk -v native="$native" '$2 == "ii" {sub(/:all$/, ":" native, $1); print $1}' || true)
    local p
    for p in "$@"; do
        [[ $p == *:* ]] || p=$p:$native
        grep -qxF "$p" <<<"$have" || echo "${p%:"$native"}"
    done
}

# A mirror in the middle of a sync can serve one index that does not match its Release file, day
# after day: apt then goes on with the others, and so does set-up, naming the one it lacks.
updated=""
apt_update() {
    [ -z "$updated" ] || return 0
    updated=1
    local out
    out=$($sudo apt-get update -q 2>&1) && return 0
    grep -E '^[EW]: Failed to fetch' <<<"$out" | sed -E 's/^[EW]: Failed to fetch /setup: warning: index not downloaded, going on without it: /' >&2 ||
        { echo "$out" | tail -n 5 >&2; say "warning: apt-get update failed; going on with the package lists there are" >&2; }
}
cannot_install() {  # cannot_install PACKAGE... (apt's reason has been printed above)
    say "cannot install: $*" >&2
    say "apt's reason is above. If an index failed to download, a mirror may be syncing: run set-up again later. Check /etc/apt/sources.list and /etc/apt/sources.list.d/ for a source that does not serve Debian 12 (bookworm)." >&2
    exit 1
}

# Everything missing goes in as one transaction that apt plans with a rule for the two
# architectures (aptplan.py): every Multi-Arch: same library ends with one version on both.
install_missing() {
    local want
    mapfile -t want < <(missing "$@")
    [ ${#want[@]} -gt 0 ] || return 0
    say "installing ${want[*]}"
    apt_update
    if ! /usr/bin/python3 -c 'import apt_pkg' 2>/dev/null; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends python3-apt ||
            cannot_install python3-apt
    fi
    local plan
    if ! plan=$(/usr/bin/python3 scripts/aptplan.py "${want[@]}"); then
        $sudo apt-get install -s -q --no-install-recommends "${want[@]}" 2>&1 | sed -n '/^The following/,$p' >&2
        cannot_install "${want[@]}"
    fi
    local args auto
    mapfile -t args < <(sed '/^--auto$/,$d' <<<"$plan")
    mapfile -t auto < <(sed '1,/^--auto$/d' <<<"$plan")
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends --allow-downgrades \
        "${args[@]}" || cannot_install "${want[@]}"
    [ ${#auto[@]} -eq 0 ] || $sudo apt-mark auto "${auto[@]}" >/dev/null
}

# Whether 32-bit x86 programs start: a 96-byte static ELF that calls exit(42) through int 0x80.
runs_i386() {
    local probe rc=0
    probe=$(mktemp -p . .i386-probe.XXXXXX)  # here rather than in /tmp, which may be noexec
    printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0\xb8\x01\0\0\0\xbb\x2a\0\0\0\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || rc=$?
    rm -f "$probe"
    [ $rc -eq 42 ]
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    updated=""
fi

# A package at a version that only bookworm-backports has (the suite goes in a file of its own).
# Only the package itself comes from there (NAME/bookworm-backports): its dependencies stay on
# bookworm's versions, which keeps amd64 and i386 libraries in step.
from_backports() {  # from_backports PACKAGE MIN_VERSION WHY
    if [ -z "$(missing "$1")" ] && dpkg --compare-versions "$(dpkg-query -W -f='${Version}' "$1")" ge "$2"; then
        return 0
    fi
    if ! grep -rqs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        local uri
        uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
        [ -n "$uri" ] || uri=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
        echo "deb ${uri:-http://deb.debian.org/debian} bookworm-backports main" |
            $sudo tee /etc/apt/sources.list.d/kelvor-bookworm-backports.list >/dev/null
        updated=""
    fi
    say "installing $1 from bookworm-backports ($3)"
    apt_update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
        "$1/bookworm-backports" || cannot_install "$1"
}

# 32-bit ELF programs go to qemu-i386 where the kernel cannot run them (or when asked to). The
# entry is registered before the i386 packages go in, whose own scripts run 32-bit helpers, and
# does not survive a reboot, so it is checked every time. F: qemu is opened now and serves
# every later exec. qemu-user 10: bookworm's own 7.2 takes about a minute of CPU to start each
# Wine process.
ours=""
grep -qsx "interpreter $QEMU" $BINFMT/qemu-i386 && ours=1
if [ -n "$ours" ] || [ "${KELVOR_I386:-}" = qemu ] || ! runs_i386; then
    from_backports qemu-user 1:10 "this kernel does not run 32-bit programs"
    if [ -z "$ours" ]; then
        [ -e $BINFMT/register ] || $sudo mount -t binfmt_misc binfmt_misc $BINFMT
        [ ! -e $BINFMT/qemu-i386 ] || echo -1 | $sudo tee $BINFMT/qemu-i386 >/dev/null  # another qemu's
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        echo ":qemu-i386:M::$magic:$mask:$QEMU:F" | $sudo tee $BINFMT/register >/dev/null
        runs_i386 || { say "32-bit programs still cannot start through $QEMU" >&2; exit 1; }
        say "32-bit programs run through $QEMU"
    fi
fi

install_missing "${packages[@]}" "${packages_i386[@]}"
# Release signing: osslsigncode 2.9, whose own time-stamp authority lets the tests time-stamp
# offline (bookworm's 2.5 has none).
from_backports osslsigncode 2.9 "release signing with an offline time stamp"
