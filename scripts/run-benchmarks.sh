#!/usr/bin/env bash
# Runs every benchmark: native ones from build/native-release, Windows ones
# under Wine in a test session. Each prints its own figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
shopt -s nullglob
for b in "$root"/build/native-release/bench/*/bench_*; do
    [[ -x "$b" && -f "$b" ]] || continue
    echo "== $(basename "$b")"
    "$b"
done
win=("$root"/build/windows/bench/*/bench_*.exe)
if [[ ${#win[@]} -gt 0 ]]; then
    # The driver benchmark needs the simulated device installed in the session.
    drv="$root/build/windows/devsim"
    # bench_mes asks the MES stand-in that with_mes_standin.sh starts.
    "$root/scripts/test-session.sh" "$root/tests/support/with_mes_standin.sh" bash -c '[[ ! -f "'"$drv"'/driver/r846sim.sys" ]] || "'"$root"'/scripts/devsim-install.sh" "'"$drv"'/driver/r846sim.sys" "'"$drv"'/ctl/devsimctl.exe"; for b in "$@"; do echo "== $(basename "$b")"; "'"$root"'/scripts/wine-run.sh" "$b"; done' _ "${win[@]}"
fi
# Headless Chromium opening the page bench_report made, against a blank page.
[[ ${#win[@]} -eq 0 ]] || { echo "== bench_page_open"; python3 "$root/bench/cli/bench_page_open.py" "$root/build/windows/bench/cli/report-1m.html" || true; }
# The idle station's CPU time, before and after it slept on events.
"$root/scripts/test-session.sh" "$root/scripts/bench-idle.sh"
# Many stations delivering to one database at once, in a session of its own
# (its own PostgreSQL server). About 15 minutes; it fails only when a line
# was lost or doubled, after the rest have run.
fleet=0
if [[ -f "$root/build/windows/bench/fleet/fleet_station.exe" ]]; then
    echo "== bench_fleet"
    "$root/scripts/test-session.sh" python3 "$root/bench/fleet/bench_fleet.py" || fleet=$?
fi
exit "$fleet"
