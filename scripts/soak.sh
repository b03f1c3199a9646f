#!/usr/bin/env bash
# make soak: the station soak (bench/soak/soak_station.cpp) under Wine with
# the simulated-device driver, in a test session of its own. It prints
# figures; it is no test and no part of make test.
#   SOAK_UNITS (2000), SOAK_KILLS (50), SOAK_SEED (1)
# Wine's own deaths of a process print "Inconsistency detected by ld.so" on
# Wine's standard error, not the program's: they are counted here, beside
# the soak's own count of processes that died without a word.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
exe="$root/build/windows/bench/soak/soak_station.exe"
drv="$root/build/windows/devsim"
[[ -f "$exe" ]] || { echo "soak: $exe is missing (make build-windows)" >&2; exit 1; }
out="$root/build/soak"
mkdir -p "$out"
wine_err="$out/wine-stderr.log"
: >"$wine_err"

set +e
"$root/scripts/test-session.sh" bash -c '
    "$1/scripts/devsim-install.sh" "$2/driver/r846sim.sys" "$2/ctl/devsimctl.exe" || exit 1
    shift 2
    "$@"' _ "$root" "$drv" \
    "$root/scripts/wine-run.sh" "$exe" --units "${SOAK_UNITS:-2000}" --kills "${SOAK_KILLS:-50}" \
    --seed "${SOAK_SEED:-1}" 2>"$wine_err" | tee "$out/soak.txt"
rc=${PIPESTATUS[0]}
set -e

deaths=$(grep -c 'Inconsistency detected by ld.so' "$wine_err" || true)
echo "Wine's loader deaths on its standard error (ld.so): $deaths (log: ${wine_err#"$root"/})"
if ! grep -q '^verdict:' "$out/soak.txt"; then
    if [[ ! -s "$out/soak.txt" || $deaths -gt 0 ]]; then
        echo "soak: the soak program itself died without figures (a Wine death); run it again" >&2
    else
        echo "soak: ended without figures (exit $rc)" >&2
    fi
fi
exit "$rc"
