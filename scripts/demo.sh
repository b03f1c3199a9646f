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
    cmake --build "$build" -j "$(nproc)" --target qvm_updater r846sim devsimctl qvm_demo \
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
for f in "$updater" "$driver" "$ctl" "$demo"; do
    [[ -f "$f" ]] || { echo "demo: $f is missing" >&2; exit 1; }
done

echo "demo: installing the simulated device driver"
"$root/scripts/devsim-install.sh" "$driver" "$ctl"
wine "$ctl" remove all >/dev/null
wine "$ctl" add 0 "firm=$firmware" >/dev/null
echo "demo: simulated R846-QVM2K plugged in as \\\\.\\R846_QVM2K_0 with firmware $firmware"

if [[ "${QVM_DEMO_AUTO:-0}" != "1" ]]; then
    echo "demo: qvm_updater.exe runs on $DISPLAY; the demo ends when you close it"
    echo "demo: (devsimctl for the device: wine $ctl state 0 | log 0 | remove 0 | add 0 firm=3.41)"
    wine "$updater"
    wine "$ctl" state 0 || true
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
exit "$status"
