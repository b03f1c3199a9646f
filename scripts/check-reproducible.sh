#!/usr/bin/env bash
# make check-reproducible: clones the committed HEAD twice into two clean
# folders of different paths, runs `make dist` in each (one after the other,
# the second with another time zone and umask), and compares the archives
# and the installers (compare-archives.sh: on a difference, the first
# differing offset of the file and of each member inside it). The clones share the installed
# packages and nothing else (each builds its own build/). Folders are
# removed on success and kept for a look on failure.
# Environment: QVM_REPRO_DIR (parent of the two clones, default a new
# folder under ${TMPDIR:-/tmp}); SIGN_PFX, SIGN_PASS_FILE are passed on.
set -euo pipefail
export LC_ALL=C
src="$(cd "$(dirname "$0")/.." && pwd)"
commit="$(git -C "$src" rev-parse HEAD)"
work="${QVM_REPRO_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/qvm-repro.XXXXXX")}"
mkdir -p "$work"
one="$work/one/src"
two="$work/second-clone/qvm_updater-src"

clone_and_build() {  # DIR TZ UMASK
    local dir=$1
    git clone --quiet --no-checkout "$src" "$dir"
    git -C "$dir" checkout --quiet --detach "$commit"
    echo "check-reproducible: make dist in $dir (TZ=$2, umask $3)"
    local start=$SECONDS
    (cd "$dir" && umask "$3" && TZ="$2" make dist >"$dir.log" 2>&1) ||
        { tail -30 "$dir.log" >&2; echo "check-reproducible: make dist failed in $dir (log $dir.log)" >&2; exit 1; }
    echo "check-reproducible: built in $((SECONDS - start)) s"
}
# The clones build elsewhere: signing files by absolute path.
[[ -n "${SIGN_PFX:-}" ]] && SIGN_PFX="$(realpath "$SIGN_PFX")"
[[ -n "${SIGN_PASS_FILE:-}" ]] && SIGN_PASS_FILE="$(realpath "$SIGN_PASS_FILE")"
export SIGN_PFX SIGN_PASS_FILE

echo "check-reproducible: commit $commit"
clone_and_build "$one" UTC 022
clone_and_build "$two" Pacific/Auckland 077

same=1
for kind in zip msi; do
    a=("$one"/build/dist/*.$kind) b=("$two"/build/dist/*.$kind)
    [[ ${#a[@]} -eq 1 && -f ${a[0]} && ${#b[@]} -eq 1 && -f ${b[0]} ]] ||
        { echo "check-reproducible: expected one .$kind in each build/dist" >&2; exit 1; }
    name_a=$(basename "${a[0]}") name_b=$(basename "${b[0]}")
    [[ $name_a == "$name_b" ]] ||
        { echo "check-reproducible: names differ: $name_a, $name_b" >&2; exit 1; }
    "$src/scripts/compare-archives.sh" "${a[0]}" "${b[0]}" || same=0
done

if [[ $same == 1 ]]; then
    (cd "$one/build/dist/stage" && for f in *; do printf '  %-16s %9d bytes\n' "$f" "$(stat -c %s "$f")"; done)
    rm -rf "$work"
    exit 0
fi
echo "check-reproducible: both trees kept in $work" >&2
exit 1
