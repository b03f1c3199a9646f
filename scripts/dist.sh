#!/usr/bin/env bash
# Builds the release archive build/dist/qvm_updater-VERSION-win64.zip: both
# programs, the user guide (dist/README.txt, CRLF line ends) and SHA256SUMS.
# With SIGN_PFX and SIGN_PASS_FILE both programs are signed before the sums
# are made. Reproducible: entry dates are the last commit's (or
# SOURCE_DATE_EPOCH), the executables carry no time stamp or build path.
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

# Configured afresh, so that the target list below is this tree's.
cmake --preset windows >/dev/null
# Both programs must be targets of this source tree; say which one is not.
targets="$(cmake --build $build --target help)"
for t in qvm_updater qvm_cli; do
    grep -qx "\.\.\. $t" <<<"$targets" || die "this source tree has no target $t: cannot make the archive"
done
cmake --build $build --target qvm_updater qvm_cli -j "$jobs"

version="$(sed -n 's/^#define QVM_VERSION_TEXT "\(.*\)"$/\1/p' $build/version/qvm_version.h)"
[[ -n "$version" ]] || die "no QVM_VERSION_TEXT in $build/version/qvm_version.h"
archive="$out/qvm_updater-$version-win64.zip"

stage="$out/stage"
rm -rf "$stage"; mkdir -p "$stage"
cp $build/GUI/qvm_updater/qvm_updater.exe $build/GUI/qvm_cli/qvm_cli.exe "$stage/"
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' dist/README.txt >"$stage/README.txt"

for exe in "$stage"/*.exe; do
    ! grep -qaF "$src" "$exe" || die "$(basename "$exe") holds the path of this checkout ($src): not reproducible"
done

if [[ -n "${SIGN_PFX:-}" ]]; then
    scripts/sign-exe.sh "$SIGN_PFX" "$SIGN_PASS_FILE" "$stage/qvm_updater.exe" "$stage/qvm_cli.exe"
    signed="signed (Authenticode SHA-256)"
else
    signed="UNSIGNED: give SIGN_PFX=FILE SIGN_PASS_FILE=FILE to sign both programs"
fi

(cd "$stage" && sha256sum qvm_cli.exe qvm_updater.exe README.txt >SHA256SUMS &&
    sha256sum --quiet -c SHA256SUMS) || die "checksums of the staged files do not verify"
rm -f "$archive"
scripts/zip-reproducible.py "$archive" "$stage"

echo "dist: $archive ($(stat -c %s "$archive") bytes), $signed"
unzip -l "$archive"
