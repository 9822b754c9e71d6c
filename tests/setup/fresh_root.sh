#!/usr/bin/env bash
# The README's run command on a fresh Debian 12: a new root made with mmdebstrap from this
# machine's apt sources, a clean clone inside it, and two faults of the package archive made on
# purpose: an i386 index that does not match its Release file (as a mirror in mid-sync serves
# one), and an installed amd64 library (zlib1g) newer than any i386 build of it. Set-up must
# warn and go on, end with one version of zlib1g on both architectures, and Kelvor must run.
# It prints at most 40 lines, apt's and the build's output being in build/setup.log and build.log.
#   fresh_root.sh SOURCE_DIR WORK_DIR        (as root; about 10 minutes and 4 GB)
set -euo pipefail
src=$(realpath "$1")
work=$(realpath -m "$2")
root=$work/root
say() { echo "fresh_root: $*"; }

missing=()
for tool in mmdebstrap:mmdebstrap apt-ftparchive:apt-utils unshare:util-linux; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
[ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null

rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$root"' EXIT

sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && grep -qs '^[^#]' "$f" && sources+=("$f")
done
say "making a fresh bookworm root from ${sources[*]}"
mmdebstrap --quiet --variant=minbase bookworm "$root" "${sources[@]}"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The faulty source: amd64 serves a rebuilt zlib1g with a higher version; the i386 index no
# longer matches the size its Release file gives.
repo=$root/srv/faults
mkdir -p "$repo/pool" "$repo/dists/faults/main/binary-amd64" "$repo/dists/faults/main/binary-i386" "$work/deb"
(cd "$work/deb" && apt-get download -q zlib1g:amd64 >/dev/null 2>&1)
dpkg-deb -R "$work"/deb/zlib1g_*.deb "$work/deb/x"
sed -i 's/^Version: .*/&+kelvor1/' "$work/deb/x/DEBIAN/control"
dpkg-deb -b "$work/deb/x" "$repo/pool/zlib1g-newer.deb" >/dev/null
(cd "$repo" &&
    apt-ftparchive packages pool >dists/faults/main/binary-amd64/Packages &&
    printf 'Package: kelvor-mid-sync\nVersion: 1\nArchitecture: i386\n\n' >dists/faults/main/binary-i386/Packages &&
    apt-ftparchive -o APT::FTPArchive::Release::Suite=faults -o APT::FTPArchive::Release::Components=main \
        -o 'APT::FTPArchive::Release::Architectures=amd64 i386' release dists/faults >"$work/Release" &&
    mv "$work/Release" dists/faults/Release &&
    echo 'Description: changed after its Release file' >>dists/faults/main/binary-i386/Packages)
echo 'deb [trusted=yes] file:/srv/faults faults main' >"$root/etc/apt/sources.list.d/faults.list"

git clone -q "$src" "$root/work/kelvor"

in_root() {  # runs a command in the root, in a mount namespace of its own
    unshare --mount --pid --fork --kill-child -- chroot "$root" /usr/bin/env -i \
        PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb bash -c '
        set -e
        mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t tmpfs tmpfs /tmp; mount -t tmpfs tmpfs /dev/shm
        cd /work/kelvor
        "$@"' - "$@"
}
# /dev of the host, so that Xvfb and Wine find what they expect.
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
trap 'umount -R "$root/dev" 2>/dev/null || true; rm -rf "$root"' EXIT

in_root apt-get update -q >/dev/null
in_root apt-get install -y -q --allow-downgrades zlib1g >/dev/null
say "amd64 zlib1g now $(in_root dpkg-query -W -f='${Version}' zlib1g:amd64)"

started=$SECONDS
set +e
in_root scripts/run.sh /Reboot /Time: 5 2>&1 | tee "$work/run.log"
code=${PIPESTATUS[0]}
set -e
say "run command: exit $code after $((SECONDS - started)) s"
fail=0
[ "$code" -eq 0 ] || { say "FAIL: the run command ended $code"; fail=1; }
grep -qx 'Kelvor asked Windows to reboot (ExitWindowsEx flags 2)' "$work/run.log" ||
    { say "FAIL: no reboot request"; fail=1; }
grep -q '^setup: warning: index not downloaded, going on without it: file:/srv/faults/dists/faults/main/binary-i386/Packages' "$work/run.log" ||
    { say "FAIL: set-up did not name the index it lacks"; fail=1; }
# The run command says what it does in a line a stage; apt's and the build's whole output go to
# logs in build/ (kept in WORK_DIR too).
lines=$(wc -l <"$work/run.log")
say "run command: $lines lines"
[ "$lines" -le 40 ] || { say "FAIL: the run command printed $lines lines, more than 40"; fail=1; }
repeated=$(grep -E '^(setup|build): ' "$work/run.log" | sed -E 's/\.\.\. .*//' | sort | uniq -d)
[ -z "$repeated" ] || { say "FAIL: stage lines repeated: $repeated"; fail=1; }
cp "$root/work/kelvor/build/setup.log" "$root/work/kelvor/build/build.log" "$work/" ||
    { say "FAIL: no build/setup.log or build/build.log"; fail=1; }
grep -q '^Setting up wine64' "$work/setup.log" || { say "FAIL: apt's output is not in build/setup.log"; fail=1; }
grep -q 'Built target kelvor_unit' "$work/build.log" || { say "FAIL: the build's output is not in build/build.log"; fail=1; }
versions=$(in_root dpkg-query -W -f='${Version}\n' zlib1g:amd64 zlib1g:i386 | sort -u)
[ "$(wc -l <<<"$versions")" -eq 1 ] || { say "FAIL: zlib1g differs between the architectures: $versions"; fail=1; }

started=$SECONDS
again=$(in_root scripts/setup.sh 2>&1)
[ -z "$again" ] && [ $((SECONDS - started)) -lt 5 ] ||
    { say "FAIL: set-up again said '$again' in $((SECONDS - started)) s"; fail=1; }

in_root scripts/test.sh -L unit >"$work/unit.log" 2>&1 || { say "FAIL: unit tests (see $work/unit.log)"; fail=1; }
tail -n 3 "$work/unit.log"
exit $fail
