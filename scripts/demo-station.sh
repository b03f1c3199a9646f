#!/usr/bin/env bash
# The station window's part of `make demo`: qvm_station.exe against the
# simulated devices.
#
# Sourced (by scripts/demo.sh, inside its session: WINEPREFIX, DISPLAY, a
# persistent wineserver and the driver installed), it defines
#   station_side
# which returns non-zero when a check fails, and plug_four_units, the units
# the demo's command-line part uses too. Run by itself, it builds what it
# needs and runs station_side in a session of its own on the demo's prefix
# (build/demo/prefix).
#
# Without a person's display (QVM_DEMO_AUTO=1): the window's end-to-end walk
# (tests/e2e/station: four units, of which one refuses a block and one is
# pulled out midway, a unit swapped, Stop, a second window, a close that
# waits, scanner codes in the fields, a line that stops itself, 16 units in
# a maximized window) on the session's display, with real clicks and keys,
# screenshots at 96 and 144 dpi into build/demo/shots (station-*.png) and
# the walk's report kept there (station-report.jsonl). With a display, the window opens
# there for the person, over four simulated units, until it is closed.
#
# Environment: QVM_DEMO_BUILD (Windows build folder, default build/windows),
# QVM_DEMO_DIR (output folder, default build/demo).
set -euo pipefail
station_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The demo's four units, replacing any plugged in: 3.41, 3.62, 3.50 and one
# without firmware; device 2 refuses exchange 34 of its update, a block in
# the middle of the image. $1: devsimctl.exe.
plug_four_units() {
    wine "$1" remove all >/dev/null
    wine "$1" add 0 firm=3.41 >/dev/null
    wine "$1" add 1 firm=3.62 >/dev/null
    wine "$1" add 2 firm=3.50 >/dev/null
    wine "$1" add 3 firm=none >/dev/null
    wine "$1" fault 2 34 error 0xE004 >/dev/null
}

station_side() {
    local build="${QVM_DEMO_BUILD:-$station_root/build/windows}"
    local out="${QVM_DEMO_DIR:-$station_root/build/demo}"
    local station="$build/GUI/qvm_station/qvm_station.exe"
    local walk="$build/tests/e2e/station/e2e_station.exe"
    local ctl="$build/devsim/ctl/devsimctl.exe"
    local shots="$out/shots" f rc=0
    for f in "$station" "$walk" "$ctl"; do
        [[ -f "$f" ]] || { echo "demo-station: $f is missing" >&2; return 1; }
    done
    echo
    echo "==== The station window: qvm_station.exe ===="
    if [[ "${QVM_DEMO_AUTO:-1}" != "1" ]]; then
        plug_four_units "$ctl"
        echo "demo-station: four units plugged in (3.41, 3.62, 3.50 refusing a block, no firmware)"
        echo "demo-station: qvm_station.exe runs on $DISPLAY; press Start, then close it"
        wine "$station" --report "Z:${out//\//\\}\\station-window-report.jsonl" || rc=$?
        [[ $rc -eq 0 ]] || { echo "demo-station: qvm_station.exe ended with $rc" >&2; return 1; }
        return 0
    fi
    mkdir -p "$shots"
    rm -f "$shots"/station-*.png "$shots/station-report.jsonl"
    echo "four units (one refuses a block, one is pulled out midway), one swapped, Stop;"
    echo "a second window; a close that waits; the layout at 96 and 144 dpi;"
    echo "scanner codes start a line that stops itself; 16 units in a maximized window"
    QVM_STATION_SHOTS="$shots" wine "$walk" --gtest_brief=1 || rc=$?
    if [[ $rc -ne 0 ]]; then
        echo "demo-station: the station window's walk failed ($rc)" >&2
        return 1
    fi
    echo
    echo "The window's report, one JSON line per unit (and a start line before each write):"
    cat "$shots/station-report.jsonl" 2>/dev/null || { echo "demo-station: no report" >&2; return 1; }
    for f in station-01-idle-96dpi station-01-idle-144dpi station-02-running station-03-stopped \
             station-04-fields station-05-halt station-06-sixteen-96dpi station-06-sixteen-144dpi; do
        [[ -s "$shots/$f.png" ]] || { echo "demo-station: screenshot $f.png is missing" >&2; return 1; }
    done
    echo "demo-station: screenshots:"
    ls -1 "$shots"/station-*.png | sed 's/^/  /'
    echo "Station window demo passed."
}

# Run by itself: build, a session on the demo's prefix, the driver, the part.
if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    build="${QVM_DEMO_BUILD:-$station_root/build/windows}"
    out="${QVM_DEMO_DIR:-$station_root/build/demo}"
    if [[ "${1:-}" != "--inside" ]]; then
        [[ -f "$build/CMakeCache.txt" ]] || (cd "$station_root" && cmake --preset windows -B "$build" >/dev/null)
        mkdir -p "$out"
        echo "demo-station: building the station window, its walk and the simulated device"
        cmake --build "$build" -j "$(nproc)" --target qvm_station e2e_station r846sim devsimctl \
            >"$out/build-station.log" 2>&1 || { cat "$out/build-station.log" >&2; exit 1; }
        export QVM_DEMO_BUILD="$build" QVM_DEMO_DIR="$out" QVM_SESSION_PREFIX="$out/prefix"
        if [[ -n "${DISPLAY:-}" && "${QVM_DEMO_AUTO:-0}" != "1" ]]; then
            export QVM_USE_DISPLAY=1 QVM_DEMO_AUTO=0
        else
            export QVM_USE_DISPLAY=0 QVM_DEMO_AUTO=1
        fi
        exec "$station_root/scripts/test-session.sh" "$station_root/scripts/demo-station.sh" --inside
    fi
    "$station_root/scripts/devsim-install.sh" "$build/devsim/driver/r846sim.sys" \
        "$build/devsim/ctl/devsimctl.exe"
    station_side
fi
