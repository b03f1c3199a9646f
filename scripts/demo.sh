#!/usr/bin/env bash
# make demo: qvm_updater.exe against the simulated R846-QVM2K.
#
# Installs what is missing, builds the program, the simulated-device driver,
# its control tool and the demo automation, and prepares a Wine prefix of
# the demo's own (build/demo/prefix) with the driver installed and device 0
# plugged in holding firmware 3.41 (older than the image's 3.62). Then:
# - with $DISPLAY set: starts the updater there for a person to use and
#   waits until it is closed;
# - without a display: runs under a private Xvfb and walks through one whole
#   update by itself (qvm_demo.exe, from demo/), saves a PNG screenshot of
#   each step in build/demo/shots and prints a short report.
# Then the command line: qvm_cli updates four devices, one of which fails
# midway (exit 3), and a station run records every unit in
# build/demo/station-report.jsonl.
#
# Environment: QVM_DEMO_BUILD (Windows build folder, default build/windows),
# QVM_DEMO_DIR (output folder, default build/demo), QVM_DEMO_AUTO=1 walks
# through the update by itself even when a display is there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QVM_DEMO_BUILD:-$root/build/windows}"
out="${QVM_DEMO_DIR:-$root/build/demo}"
firmware="${QVM_DEMO_FIRMWARE:-3.41}"

if [[ "${1:-}" != "--inside" ]]; then
    "$root/scripts/deps.sh"
    if [[ ! -f "$build/CMakeCache.txt" ]]; then
        (cd "$root" && cmake --preset windows -B "$build" >/dev/null)
    fi
    mkdir -p "$out"
    echo "demo: building the updater, the simulated device and the demo tools"
    cmake --build "$build" -j "$(nproc)" --target qvm_updater qvm_cli r846sim devsimctl qvm_demo \
        >"$out/build.log" 2>&1 || { cat "$out/build.log" >&2; exit 1; }
    export QVM_DEMO_BUILD="$build" QVM_DEMO_DIR="$out" QVM_DEMO_FIRMWARE="$firmware"
    # The demo's own prefix, kept afterwards for a look; a person's display
    # when there is one, a private Xvfb otherwise.
    export QVM_SESSION_PREFIX="$out/prefix"
    if [[ -n "${DISPLAY:-}" && "${QVM_DEMO_AUTO:-0}" != "1" ]]; then
        export QVM_USE_DISPLAY=1
    else
        export QVM_USE_DISPLAY=0 QVM_DEMO_AUTO=1
    fi
    exec "$root/scripts/test-session.sh" "$root/scripts/demo.sh" --inside
fi

# Inside the session: WINEPREFIX, DISPLAY and a persistent wineserver are set.
# Exact paths: a stale copy left elsewhere in the build folder by an older
# layout must never be picked up.
updater="$build/GUI/qvm_updater/qvm_updater.exe"
driver="$build/devsim/driver/r846sim.sys"
ctl="$build/devsim/ctl/devsimctl.exe"
demo="$build/demo/qvm_demo.exe"
cli="$build/GUI/qvm_cli/qvm_cli.exe"
for f in "$updater" "$driver" "$ctl" "$demo" "$cli"; do
    [[ -f "$f" ]] || { echo "demo: $f is missing" >&2; exit 1; }
done

echo "demo: installing the simulated device driver"
"$root/scripts/devsim-install.sh" "$driver" "$ctl"
wine "$ctl" remove all >/dev/null
wine "$ctl" add 0 "firm=$firmware" >/dev/null
echo "demo: simulated R846-QVM2K plugged in as \\\\.\\R846_QVM2K_0 with firmware $firmware"

# The bench side, after the window program: four devices, one of which
# refuses a block midway, updated by qvm_cli; then the station with its
# report, where a unit that fails is updated when it is plugged in again.
# Fails the demo when an exit code or the report is not what it should be.
cli_side() {
    local report="$out/station-report.jsonl" rc=0 pid i
    echo
    echo "==== The command line: qvm_cli.exe ===="
    wine "$ctl" remove all >/dev/null
    wine "$ctl" add 0 firm=3.41 >/dev/null
    wine "$ctl" add 1 firm=3.62 >/dev/null
    wine "$ctl" add 2 firm=3.50 >/dev/null
    wine "$ctl" add 3 firm=none >/dev/null
    # Exchange 34 of device 2's update is a block in the middle of the image.
    wine "$ctl" fault 2 34 error 0xE004 >/dev/null
    echo "devices 0..3 plugged in (3.41, 3.62, 3.50, no firmware); device 2 will refuse a block"
    echo
    echo "\$ qvm_cli list"
    wine "$cli" list
    echo
    echo "\$ qvm_cli update --all"
    wine "$cli" update --all || rc=$?
    echo "exit code $rc"
    [[ $rc -eq 3 ]] || { echo "demo: qvm_cli update --all should exit 3 (one device failed)" >&2; return 1; }

    echo
    echo "\$ qvm_cli station --report $report"
    echo "  (device 2 loses power midway, is plugged in again, then Ctrl+C)"
    rm -f "$report"
    wine "$ctl" fault 2 20 power-loss >/dev/null
    wine "$cli" station --report "Z:${report//\//\\}" &
    pid=$!
    # Four units recorded (three current, device 2 failed); device 2 then
    # comes back and is updated: five lines.
    for ((i = 0; i < 300; i++)); do
        [[ -f "$report" && $(wc -l <"$report") -ge 4 ]] && break
        sleep 0.1
    done
    # Long enough for the station to see the device gone.
    sleep 1.5
    wine "$ctl" replug 2 >/dev/null
    for ((i = 0; i < 300; i++)); do
        [[ $(wc -l <"$report") -ge 5 ]] && break
        sleep 0.1
    done
    pkill -INT -f "qvm_cli.exe station" || true
    rc=0
    wait "$pid" || rc=$?
    echo "exit code $rc"
    echo
    echo "The report, one JSON line per unit:"
    cat "$report"
    [[ $rc -eq 4 ]] || { echo "demo: the station should exit 4 after Ctrl+C" >&2; return 1; }
    [[ $(grep -c '"result":"current"' "$report") -eq 3 &&
       $(grep -c '"index":2,.*"result":"failed"' "$report") -eq 1 &&
       $(grep -c '"index":2,.*"result":"updated"' "$report") -eq 1 ]] ||
        { echo "demo: the report does not hold the five units expected" >&2; return 1; }
    echo "Command-line demo passed."
}

if [[ "${QVM_DEMO_AUTO:-0}" != "1" ]]; then
    echo "demo: qvm_updater.exe runs on $DISPLAY; close it to go on to qvm_cli"
    echo "demo: (devsimctl for the device: wine $ctl state 0 | log 0 | remove 0 | add 0 firm=3.41)"
    wine "$updater"
    wine "$ctl" state 0 || true
    cli_side
    exit 0
fi

shots="$out/shots"
rm -rf "$shots"
mkdir -p "$shots"
echo "demo: no display of yours: walking through one update on a private display"
wine "$demo" "Z:${shots//\//\\}" &
demo_pid=$!
# Screenshots on request (see demo/qvm_demo.cpp): NN-name.req holds the geometry.
while kill -0 "$demo_pid" 2>/dev/null; do
    for req in "$shots"/*.req; do
        [[ -e "$req" ]] || continue
        stem="${req%.req}"
        geometry="$(cat "$req")"
        if [[ -n "$geometry" ]]; then
            import -display "$DISPLAY" -window root -crop "$geometry" +repage "$stem.png"
        else
            import -display "$DISPLAY" -window root "$stem.png"
        fi
        rm -f "$req"
        : >"$stem.done"
    done
    sleep 0.05
done
status=0
wait "$demo_pid" || status=$?
rm -f "$shots"/*.done "$shots"/*.req
echo "demo: screenshots in $shots:"
ls -1 "$shots"/*.png 2>/dev/null | sed 's/^/  /'
[[ $status -eq 0 ]] || exit "$status"
cli_side
