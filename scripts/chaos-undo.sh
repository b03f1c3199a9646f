#!/usr/bin/env bash
# scripts/chaos-undo.sh [SECONDS [NAME...]]: the whole-station run
# (stn_chaos) against each fix it guards, undone in turn
# (tests/unit/station/chaos/undo/*.patch, or only the NAMEs given).
# For each, runs seed after seed until a promise breaks or SECONDS (default
# 600) pass, and prints the promise broken and the seconds it took. A
# measurement: it never fails. Works on a copy of HEAD in build/chaos-undo.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-600}
shift || true
work=build/chaos-undo
rm -rf "$work"
mkdir -p "$work/src"
git archive HEAD | tar -x -C "$work/src"
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
exe=$work/build/tests/unit/station/stn_chaos
for patch in "$work"/src/tests/unit/station/chaos/undo/*.patch; do
    name=$(basename "$patch" .patch)
    if (( $# > 0 )) && [[ " $* " != *" $name "* ]]; then continue; fi
    (cd "$work/src" && patch -s -p1) < "$patch"
    cmake --build "$work/build" --target stn_chaos -j "$(nproc)" >/dev/null
    start=$(date +%s)
    seed=1
    verdict="no promise broken"
    while (( $(date +%s) - start < limit )); do
        if ! out=$("$exe" --seed "$seed" --steps 400 2>&1); then
            verdict=$(grep -m1 '^VIOLATION' <<<"$out" | cut -c1-160 ||
                      echo "failed: $(tail -1 <<<"$out")")
            break
        fi
        seed=$((seed + 1))
    done
    printf '%-22s %4d s  %s\n' "$name" "$(( $(date +%s) - start ))" "$verdict"
    (cd "$work/src" && patch -s -p1 -R) < "$patch"
done
