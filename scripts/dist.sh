#!/usr/bin/env bash
# Builds the release: build/dist/qvm_updater-VERSION-win64.zip (the programs,
# the user guide dist/README.txt with CRLF line ends, the schema scripts of
# dist/sql for the factory's database, SHA256SUMS) and the
# installer build/dist/qvm_updater-VERSION-x64.msi (scripts/make-msi.sh).
# qvm_station.exe goes in both when this tree has that target. With SIGN_PFX
# and SIGN_PASS_FILE the programs are signed before the sums are made, and
# the installer after it is built. Reproducible: dates are the last
# commit's (or SOURCE_DATE_EPOCH), the executables carry no time stamp or
# build path.
set -euo pipefail
die() { echo "dist: $*" >&2; exit 1; }
src="$(cd "$(dirname "$0")/.." && pwd)"
cd "$src"
build=build/windows
out=build/dist
jobs="${JOBS:-$(nproc)}"

if [[ -n "${SIGN_PFX:-}" || -n "${SIGN_PASS_FILE:-}" ]]; then
    [[ -n "${SIGN_PFX:-}" && -n "${SIGN_PASS_FILE:-}" ]] ||
        die "signing needs both SIGN_PFX=FILE and SIGN_PASS_FILE=FILE"
    # Absolute now: the signing step runs elsewhere.
    SIGN_PFX="$(realpath "$SIGN_PFX")"; SIGN_PASS_FILE="$(realpath "$SIGN_PASS_FILE")"
fi

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
    SOURCE_DATE_EPOCH="$(git -C "$src" log -1 --format=%ct 2>/dev/null)" ||
        die "not a git checkout: set SOURCE_DATE_EPOCH (seconds) for the archive's dates"
fi
export SOURCE_DATE_EPOCH

# Configured afresh, with a query to CMake's file API: its reply names this
# tree's targets and their files, whatever the generator.
api=$build/.cmake/api/v1
mkdir -p $api/query; : >$api/query/codemodel-v2
rm -rf $api/reply
cmake --preset windows >/dev/null
index=("$api"/reply/index-*.json)
[[ -f ${index[0]} ]] || die "CMake wrote no file-API reply in $api/reply"
codemodel="$api/reply/$(jq -r '.reply["codemodel-v2"].jsonFile' "${index[0]}")"
# artifact TARGET: the file the target builds, relative to $build; empty
# when this tree has no such target.
artifact() {
    local json
    json=$(jq -r --arg t "$1" '.configurations[0].targets[] | select(.name == $t) | .jsonFile' "$codemodel")
    [[ -z $json ]] || jq -r '[.artifacts[].path | select(endswith(".exe"))][0] // empty' "$api/reply/$json"
}
programs=(qvm_updater qvm_cli)
[[ -n "$(artifact qvm_station)" ]] && programs+=(qvm_station)
declare -A exe
for t in "${programs[@]}"; do
    exe[$t]="$(artifact $t)"
    [[ -n ${exe[$t]} ]] || die "this source tree has no target $t: cannot make the archive"
done
cmake --build $build --target "${programs[@]}" -j "$jobs"
for t in "${programs[@]}"; do
    [[ -f $build/${exe[$t]} ]] || die "target $t built no $build/${exe[$t]}"
done

version="$(sed -n 's/^#define QVM_VERSION_TEXT "\(.*\)"$/\1/p' $build/version/qvm_version.h)"
[[ -n "$version" ]] || die "no QVM_VERSION_TEXT in $build/version/qvm_version.h"
archive="$out/qvm_updater-$version-win64.zip"
msi="$out/qvm_updater-$version-x64.msi"

stage="$out/stage"
rm -rf "$stage"; mkdir -p "$stage"
for t in "${programs[@]}"; do cp "$build/${exe[$t]}" "$stage/$t.exe"; done
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' dist/README.txt >"$stage/README.txt"
cp dist/sql/schema-postgresql.sql dist/sql/schema-sqlserver.sql dist/sql/upgrade-postgresql.sql \
   dist/sql/upgrade-sqlserver.sql "$stage/"

for f in "$stage"/*.exe; do
    ! grep -qaF "$src" "$f" || die "$(basename "$f") holds the path of this checkout ($src): not reproducible"
done

if [[ -n "${SIGN_PFX:-}" ]]; then
    scripts/sign-exe.sh "$SIGN_PFX" "$SIGN_PASS_FILE" "$stage"/*.exe
    signed="signed (Authenticode SHA-256)"
else
    signed="UNSIGNED: give SIGN_PFX=FILE SIGN_PASS_FILE=FILE to sign the programs and the installer"
fi

(cd "$stage" && LC_ALL=C sha256sum -- *.exe README.txt *.sql >SHA256SUMS)
rm -f "$archive"
scripts/zip-reproducible.py "$archive" "$stage"
# The sums are checked where a user checks them: in the unpacked archive.
check="$out/check"
rm -rf "$check"; mkdir -p "$check"
unzip -q "$archive" -d "$check" || die "cannot unpack $archive"
(cd "$check" && sha256sum --quiet --strict -c SHA256SUMS) || die "the checksums in $archive do not verify"
rm -rf "$check"

scripts/make-msi.sh "$stage" "$version" "$msi"
if [[ -n "${SIGN_PFX:-}" ]]; then
    # No unsigned installer left where a signed one was asked for.
    scripts/sign-exe.sh "$SIGN_PFX" "$SIGN_PASS_FILE" "$msi" || { rm -f "$msi"; die "signing $msi failed"; }
fi

echo "dist: $archive ($(stat -c %s "$archive") bytes), $signed"
unzip -l "$archive"
echo "dist: $msi ($(stat -c %s "$msi") bytes), $signed"
