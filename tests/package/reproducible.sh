#!/usr/bin/env bash
# Builds both executables, both installer packages and the zip twice, in two unrelated folders,
# and requires identical bytes; a package with one input changed must get another package code. Usage: reproducible.sh SOURCE_DIR WORK_DIR VERSION VERSION_TEXT
set -euo pipefail
src=$1 work=$2 number=$3 version=$4
rm -rf "$work"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1765000000}
for tree in first "second/deeper path"; do
    dir="$work/$tree"
    for arch in i686 x86_64; do
        cmake -S "$src" -B "$dir/$arch" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-$arch.cmake" \
              -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
        cmake --build "$dir/$arch" --target Kelvor >/dev/null
    done
    python3 "$src/scripts/make_release.py" --version "$number" --version-text "$version" --source "$src" \
        --i686 "$dir/i686/Kelvor.exe" --x86_64 "$dir/x86_64/Kelvor.exe" --out "$dir" >/dev/null
done
# A package that differs in any input has its own package code: here, one word of the presets note.
changed="$work/changed"
mkdir -p "$changed/scripts" "$changed/installer"
cp "$src/scripts/"*.py "$changed/scripts/"  # make_msi.py and the helpers it imports
cp "$src/installer/"* "$changed/installer/"
sed -i '0,/Kelvor presets/s//Kelvor\x27s presets/' "$changed/installer/Kelvor-presets.txt"
python3 "$changed/scripts/make_msi.py" --version "$number" --arch x64 --exe "$work/first/x86_64/Kelvor.exe" \
    --out "$changed/Kelvor-$version-x64.msi" >/dev/null
code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
same=$(code "$work/first/Kelvor-$version-x64.msi") other=$(code "$changed/Kelvor-$version-x64.msi")
echo "package codes: $same (as built), $other (one input changed)"
status=0
[ -n "$same" ] && [ "$same" != "$other" ] || { echo "SAME PACKAGE CODE for different packages"; status=1; }
for f in i686/Kelvor.exe x86_64/Kelvor.exe "Kelvor-$version-x86.msi" "Kelvor-$version-x64.msi" "Kelvor-$version.zip"; do
    a=$(sha256sum < "$work/first/$f") b=$(sha256sum < "$work/second/deeper path/$f")
    echo "${a%% *}  ${b%% *}  $f"
    [ "$a" = "$b" ] || { echo "DIFFERS: $f"; status=1; }
done
exit $status
