#!/usr/bin/env bash
# Installs and configures what Kelvor's build and tests need, if anything is missing: the Debian
# packages, and for the 32-bit Kelvor.exe Wine's 32-bit side, run through qemu-user where the
# kernel cannot execute 32-bit programs itself. Safe to re-run; silent when everything is there.
# Otherwise one line per stage (what, why, how long); apt's whole output goes to build/setup.log.
# KELVOR_I386=qemu sends 32-bit programs through qemu-user even where the kernel runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

# What set-up installs, each with what it is there for, as the stage line names it.
packages=()
declare -A purpose
need() {  # need PURPOSE PACKAGE...
    local what=$1 p
    shift
    for p; do
        packages+=("$p")
        purpose[$p]=$what
    done
}
need "the build tools" cmake make g++ python3 procps git
need GoogleTest googletest libgtest-dev libgmock-dev
need "the clang tools" clang libclang-rt-14-dev clang-tidy clang-format cppcheck
need "the MinGW cross compilers" g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
need Wine wine64
need Xvfb xvfb
need "the X tools" xauth x11-utils xdotool imagemagick
need "the installer tools" wixl msitools faketime
need xmllint libxml2-utils
need "the signing test tools" softhsm2 libengine-pkcs11-openssl
need "the PE reader of the tests" python3-pefile
# Wine's 32-bit loader and the X libraries its display driver loads.
need "Wine's 32-bit side" libc6:i386 wine32:i386 libxrender1:i386 libxrandr2:i386 libxi6:i386 libxcursor1:i386 \
    libxfixes3:i386 libxinerama1:i386 libxcomposite1:i386
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
older() {  # older PACKAGE MIN_VERSION: whether PACKAGE is missing or older than MIN_VERSION
    [ -n "$(missing "$1")" ] || ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' "$1")" ge "$2"
}
# apt itself, not interactive: sudo does not pass DEBIAN_FRONTEND on, and no one sees a prompt in
# the log.
apt_get() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

# The log is written by this shell, not through sudo, so that build/ stays the user's. It is begun
# anew by the first download of the indexes, which comes before any other stage: a run with
# nothing to do writes none.
stage_prefix=setup stage_log=build/setup.log
. scripts/stage.sh
logging=""
open_log() {
    [ -z "$logging" ] || return 0
    logging=1
    mkdir -p build
    : >"$stage_log"
    [ -z "$sudo" ] || sudo -v  # any password prompt comes before a stage's line is begun
}
show_end() { stage_log_end "apt's"; }

# A mirror in the middle of a sync can serve one index that does not match its Release file, day
# after day: apt then goes on with the others, and so does set-up, naming the one it lacks.
updated="" fetch_failures=""
update_indexes() {  # apt-get update, where an index that fails to download fails nothing else
    local out status=0
    out=$(apt_get update -q 2>&1) || status=$?
    echo "$out"
    fetch_failures=$(grep -E '^[EW]: Failed to fetch' <<<"$out" || true)
    [ $status -eq 0 ] || [ -n "$fetch_failures" ]
}
apt_update() {
    [ -z "$updated" ] || return 0
    updated=1
    open_log
    stage "downloading the package indexes (apt-get update)" update_indexes ||
        { show_end; say "warning: apt-get update failed; going on with the package lists there are" >&2; }
    [ -z "$fetch_failures" ] ||
        sed -E 's/^[EW]: Failed to fetch /setup: warning: index not downloaded, going on without it: /' \
            <<<"$fetch_failures" >&2
}
cannot_install() {  # cannot_install PACKAGE... (apt's reason has been printed above)
    say "cannot install: $*" >&2
    say "apt's reason is above. If an index failed to download, a mirror may be syncing: run set-up again later. Check /etc/apt/sources.list and /etc/apt/sources.list.d/ for a source that does not serve Debian 12 (bookworm)." >&2
    exit 1
}

describe() {  # describe PACKAGE...: what they are for, each purpose once ("a, b and c")
    local groups
    mapfile -t groups < <(for p in "$@"; do echo "${purpose[$p]:-$p}"; done | awk '!seen[$0]++')
    local i out=${groups[0]}
    for ((i = 1; i < ${#groups[@]}; i++)); do
        if [ $i -eq $((${#groups[@]} - 1)) ]; then out+=" and ${groups[i]}"; else out+=", ${groups[i]}"; fi
    done
    echo "$out"
}

# Everything missing goes in as one transaction that apt plans with a rule for the two
# architectures (aptplan.py): every Multi-Arch: same library ends with one version on both.
install_missing() {
    local want
    mapfile -t want < <(missing "$@")
    [ ${#want[@]} -gt 0 ] || return 0
    apt_update
    if ! /usr/bin/python3 -c 'import apt_pkg' 2>/dev/null; then
        stage "installing python3-apt (apt's resolver, to plan the 32-bit libraries beside the 64-bit ones)" \
            apt_get install -y -q --no-install-recommends python3-apt || { show_end; cannot_install python3-apt; }
    fi
    local plan
    if ! plan=$(/usr/bin/python3 scripts/aptplan.py "${want[@]}"); then
        # apt's own reasons, from a dry run (which fails too, and must not end set-up before the advice)
        { $sudo apt-get install -s -q --no-install-recommends "${want[@]}" 2>&1 || true; } |
            awk '/^The following/ {on = 1} on || /^E: /' >&2
        cannot_install "${want[@]}"
    fi
    local args auto
    mapfile -t args < <(sed '/^--auto$/,$d' <<<"$plan")
    mapfile -t auto < <(sed '1,/^--auto$/d' <<<"$plan")
    echo "setup: missing: ${want[*]}" >>"$stage_log"
    stage "installing for the build and the tests: $(describe "${want[@]}") (${#want[@]} named, ${#args[@]} in all)" \
        apt_get install -y -q --no-install-recommends --allow-downgrades "${args[@]}" ||
        { show_end; cannot_install "${want[@]}"; }
    [ ${#auto[@]} -eq 0 ] || $sudo apt-mark auto "${auto[@]}" >>"$stage_log" 2>&1
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
backports_source() {
    grep -rqs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/ && return 0
    local uri
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$uri" ] || uri=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
    echo "deb ${uri:-http://deb.debian.org/debian} bookworm-backports main" |
        $sudo tee /etc/apt/sources.list.d/kelvor-bookworm-backports.list >/dev/null
    updated=""
}
from_backports() {  # from_backports PACKAGE MIN_VERSION WHY
    older "$1" "$2" || return 0
    backports_source
    apt_update
    stage "installing $1 from bookworm-backports ($3)" \
        apt_get install -y -q --no-install-recommends "$1/bookworm-backports" || { show_end; cannot_install "$1"; }
}

# 32-bit ELF programs go to qemu-i386 where the kernel cannot run them (or when asked to). The
# entry is registered before the i386 packages go in, whose own scripts run 32-bit helpers, and
# does not survive a reboot, so it is checked every time. F: qemu is opened now and serves
# every later exec. qemu-user 10: bookworm's own 7.2 takes about a minute of CPU to start each
# Wine process.
ours="" qemu=""
grep -qsx "interpreter $QEMU" $BINFMT/qemu-i386 && ours=1
if [ -n "$ours" ] || [ "${KELVOR_I386:-}" = qemu ] || ! runs_i386; then
    qemu=1
fi
# Backports' source goes in before the first download of the indexes, which then serves every stage.
if { [ -n "$qemu" ] && older qemu-user 1:10; } || older osslsigncode 2.9; then
    backports_source
fi
if [ -n "$qemu" ]; then
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

install_missing "${packages[@]}"
# Release signing: osslsigncode 2.9, whose own time-stamp authority lets the tests time-stamp
# offline (bookworm's 2.5 has none).
from_backports osslsigncode 2.9 "release signing with an offline time stamp"
[ -z "$logging" ] || say "done in $SECONDS s; apt's whole output is in $stage_log"
