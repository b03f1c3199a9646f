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
# Each part is one function below; the last lines run them in order. Every
# wait is bounded and says what it waited for when it gives up.
#
# Environment: QVM_DEMO_BUILD (Windows build folder, default build/windows),
# QVM_DEMO_DIR (output folder, default build/demo), QVM_DEMO_AUTO=1 walks
# through the update by itself even when a display is there.
set -Eeuo pipefail
# A command that stops the demo through set -e names itself (and the
# functions it ran in), so no step ends the demo without a word.
trap 'echo "demo: stopped: \"$BASH_COMMAND\" exited $? (line $LINENO; in ${FUNCNAME[*]:-the script})" >&2' ERR
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QVM_DEMO_BUILD:-$root/build/windows}"
out="${QVM_DEMO_DIR:-$root/build/demo}"
firmware="${QVM_DEMO_FIRMWARE:-3.41}"

# Outside the session: build, then run this script again inside one.
build_and_enter_session() {
    "$root/scripts/deps.sh"
    if [[ ! -f "$build/CMakeCache.txt" ]]; then
        (cd "$root" && cmake --preset windows -B "$build" >/dev/null)
    fi
    mkdir -p "$out"
    echo "demo: building the updater, the simulated device and the demo tools"
    cmake --build "$build" -j "$(nproc)" --target qvm_updater qvm_cli qvm_station e2e_station \
        r846sim devsimctl qvm_demo shift_gen \
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
}

if [[ "${1:-}" != "--inside" ]]; then
    build_and_enter_session
fi

# Inside the session: WINEPREFIX, DISPLAY and a persistent wineserver are set.
# Exact paths: a stale copy left elsewhere in the build folder by an older
# layout must never be picked up.
updater="$build/GUI/qvm_updater/qvm_updater.exe"
driver="$build/devsim/driver/r846sim.sys"
ctl="$build/devsim/ctl/devsimctl.exe"
demo="$build/demo/qvm_demo.exe"
cli="$build/GUI/qvm_cli/qvm_cli.exe"
shift_gen="$build/demo/shift_gen.exe"
report="$out/station-report.jsonl"
shift_report="$out/station-shift.jsonl"
shots="$out/shots"

# wait_for WHAT SECONDS COMMAND...: runs COMMAND every 0.1 s until it
# succeeds; after SECONDS it names WHAT and fails.
wait_for() {
    local what="$1" seconds="$2" deadline
    shift 2
    deadline=$((SECONDS + seconds))
    until "$@"; do
        if ((SECONDS >= deadline)); then
            echo "demo: timed out after $seconds s waiting for $what" >&2
            return 1
        fi
        sleep 0.1
    done
}

alive() { kill -0 "$1" 2>/dev/null; }
gone() { ! alive "$1"; }

# The Windows form of a Linux path, for the programs under Wine.
win_path() { winepath -w "$1"; }

# report_holds JQ: the station report, read as one array of units, makes the
# jq expression true. A line still being written reads as not yet.
report_holds() {
    [[ -s "$report" ]] && jq -s -e "$1" "$report" >/dev/null 2>&1
}

plug_in_demo_device() {
    local f
    for f in "$updater" "$driver" "$ctl" "$demo" "$cli" "$shift_gen"; do
        [[ -f "$f" ]] || { echo "demo: $f is missing" >&2; exit 1; }
    done
    echo "demo: installing the simulated device driver"
    "$root/scripts/devsim-install.sh" "$driver" "$ctl"
    wine "$ctl" remove all >/dev/null
    wine "$ctl" add 0 "firm=$firmware" >/dev/null
    echo "demo: simulated R846-QVM2K plugged in as \\\\.\\R846_QVM2K_0 with firmware $firmware"
}

# With a person at the display: the updater until they close it.
window_for_a_person() {
    echo "demo: qvm_updater.exe runs on $DISPLAY; close it to go on to qvm_cli"
    echo "demo: (devsimctl for the device: wine $ctl state 0 | log 0 | remove 0 | add 0 firm=3.41)"
    wine "$updater"
    wine "$ctl" state 0 || true
}

# Takes each screenshot qvm_demo.exe asks for (see demo/qvm_demo.cpp):
# NN-name.req holds the geometry, NN-name.done answers it.
take_requested_shots() {
    local req stem geometry
    for req in "$shots"/*.req; do
        [[ -e "$req" ]] || continue
        stem="${req%.req}"
        geometry="$(cat "$req")"
        if [[ -n "$geometry" ]]; then
            set -- -crop "$geometry" +repage
        else
            set --
        fi
        import -display "$DISPLAY" -window root "$@" "$stem.png" ||
            { echo "demo: the screenshot $stem.png could not be taken" >&2; exit 1; }
        rm -f "$req"
        : >"$stem.done"
    done
}

# Shots taken while the walk-through runs; true once it has ended.
walkthrough_ended() {
    take_requested_shots
    gone "$demo_pid"
}

# Without a person: qvm_demo.exe clicks through one update, with a
# screenshot of each step. Its own waits are bounded (the longest, the
# update's completion, 60 s); this one covers the whole walk.
window_walkthrough() {
    local status=0
    rm -rf "$shots"
    mkdir -p "$shots"
    echo "demo: no display of yours: walking through one update on a private display"
    wine "$demo" "$(win_path "$shots")" &
    demo_pid=$!
    if ! wait_for "qvm_demo.exe to finish its walk through the update" 300 walkthrough_ended; then
        kill "$demo_pid" 2>/dev/null || true
        wait "$demo_pid" 2>/dev/null || true
        exit 1
    fi
    wait "$demo_pid" || status=$?
    rm -f "$shots"/*.done "$shots"/*.req
    echo "demo: screenshots in $shots:"
    ls -1 "$shots"/*.png 2>/dev/null | sed 's/^/  /'
    [[ $status -eq 0 ]] || exit "$status"
}

# The bench side, after the window program: four devices, one of which
# refuses a block midway, updated by qvm_cli.
cli_list_and_update() {
    local rc=0
    echo
    echo "==== The command line: qvm_cli.exe ===="
    plug_four_units "$ctl"
    echo "devices 0..3 plugged in (3.41, 3.62, 3.50, no firmware); device 2 will refuse a block"
    echo
    echo "\$ qvm_cli list"
    wine "$cli" list
    echo
    echo "\$ qvm_cli update --all"
    wine "$cli" update --all || rc=$?
    echo "exit code $rc"
    [[ $rc -eq 3 ]] || { echo "demo: qvm_cli update --all should exit 3 (one device failed)" >&2; return 1; }
}

# Ctrl+C for the station: SIGINT to its own wine process (Wine turns it
# into a console Ctrl+C event), never to any other station on the machine.
# Sets rc to its exit code.
stop_station() {
    local pid="$1"
    kill -INT "$pid" 2>/dev/null || echo "demo: qvm_cli station had ended before Ctrl+C" >&2
    if ! wait_for "qvm_cli station to stop after Ctrl+C" 30 gone "$pid"; then
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        return 1
    fi
    rc=0
    wait "$pid" || rc=$?
}

# The station with its report: device 2 loses power midway and is updated
# once it is plugged in again. Fails the demo when the exit code or the
# report is not what it should be.
cli_station() {
    local pid rc
    echo
    echo "\$ qvm_cli station --report $report"
    echo "  (device 2 loses power midway, is plugged in again, then Ctrl+C)"
    rm -f "$report"
    wine "$ctl" fault 2 20 power-loss >/dev/null
    wine "$cli" station --report "$(win_path "$report")" &
    pid=$!
    # Four units recorded (three current, device 2 failed); device 2 then
    # comes back and is updated: five.
    wait_for "the station to record devices 0..3" 30 report_holds 'map(select(.type == "unit")) | length >= 4' ||
        { kill -KILL "$pid" 2>/dev/null; return 1; }
    # Long enough for the station to see the device gone.
    sleep 1.5
    wine "$ctl" replug 2 >/dev/null
    wait_for "the station to update device 2 once plugged in again" 30 \
        report_holds 'any(.[]; .index == 2 and .result == "updated")' ||
        { kill -KILL "$pid" 2>/dev/null; return 1; }
    stop_station "$pid"
    echo "exit code $rc"
    echo
    echo "The report, one JSON line per unit:"
    cat "$report"
    [[ $rc -eq 4 ]] || { echo "demo: the station should exit 4 after Ctrl+C" >&2; return 1; }
    report_holds '(map(select(.result == "current")) | length) == 3 and
                  (map(select(.index == 2 and .result == "failed")) | length) == 1 and
                  (map(select(.index == 2 and .result == "updated")) | length) == 1' ||
        { echo "demo: the report does not hold the five units expected" >&2; return 1; }
    echo "Command-line demo passed."
}

# page_shot PAGE NAME: a picture of the HTML page PAGE in $shots/NAME.png,
# when Chromium is there.
page_shot() {
    command -v chromium >/dev/null || return 0
    mkdir -p "$shots"
    timeout 60 chromium --headless --disable-gpu --no-sandbox \
        --user-data-dir="$out/chromium-profile" --hide-scrollbars --window-size=1280,1600 \
        --screenshot="$shots/$2.png" "file://$1" >/dev/null 2>&1 &&
        echo "Its look: $shots/$2.png" ||
        echo "(Chromium did not make its picture; open the page in a browser)"
}

# The station on a shift: one device never answers midway (its unit fails
# at the deadline while the others finish), then the station is killed
# while it writes devices and started again: the cut-short units get their
# "interrupted" line, and are then updated.
cli_station_shift() {
    local pid rc
    echo
    echo "\$ qvm_cli station --report $shift_report --timeout 2"
    echo "  (device 1 never answers midway; later the station is killed while it writes)"
    rm -f "$shift_report"
    wine "$ctl" remove all >/dev/null
    local i
    for i in 0 1 2 3; do wine "$ctl" add "$i" firm=3.41 >/dev/null; done
    wine "$ctl" fault 1 20 hang >/dev/null
    wine "$cli" station --report "$(win_path "$shift_report")" --timeout 2 &
    pid=$!
    wait_for "the station to record four units" 60 \
        jq -se 'map(select(.type == "unit")) | length >= 4' "$shift_report" >/dev/null ||
        { kill -KILL "$pid" 2>/dev/null; return 1; }
    jq -se 'any(.[]; .type == "unit" and .index == 1 and .failure == "deadline")' \
        "$shift_report" >/dev/null ||
        { echo "demo: device 1 should have failed at its deadline" >&2; kill -KILL "$pid"; return 1; }
    echo "device 1 failed at its deadline; the other three were updated"
    # New units on every index, slow ones, so that the kill meets them
    # midway: the station sees new serials and writes them.
    for i in 0 1 2 3; do
        wine "$ctl" remove "$i" >/dev/null
        wine "$ctl" add "$i" firm=none serial=$((84700000 + i)) >/dev/null
        wine "$ctl" delay "$i" 40 >/dev/null
    done
    wait_for "the station to start writing the new units" 30 \
        jq -se 'map(select(.type == "start" and .serial >= 84700000)) | length >= 4' \
        "$shift_report" >/dev/null || { kill -KILL "$pid" 2>/dev/null; return 1; }
    kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true
    echo "station killed while it wrote four units; started again:"
    for i in 0 1 2 3; do wine "$ctl" delay "$i" 0 >/dev/null; wine "$ctl" replug "$i" >/dev/null; done
    wine "$cli" station --report "$(win_path "$shift_report")" --timeout 2 &
    pid=$!
    wait_for "the restarted station to update the four units" 60 \
        jq -se '[.[] | select(.type == "unit" and .serial >= 84700000 and .result == "updated")] | length >= 4' \
        "$shift_report" >/dev/null || { kill -KILL "$pid" 2>/dev/null; return 1; }
    stop_station "$pid"
    echo
    echo "The shift's report:"
    cat "$shift_report"
    # Every start has exactly one unit line; the killed ones are recovered.
    jq -se '(map(select(.type == "start") | .id) | sort) as $s |
            (map(select(.type == "unit" and .id != null) | .id) | group_by(.) | map(length) | max) == 1 and
            ($s - map(select(.type == "unit") | .id) | length) == 0 and
            (map(select(.type == "unit" and .recovered == true and .result == "interrupted")) | length) >= 1' \
        "$shift_report" >/dev/null ||
        { echo "demo: the shift's report does not close every started unit exactly once" >&2; return 1; }
    echo "Every started unit has exactly one unit line; the killed ones are recorded as interrupted."

    # The line manager's page of both reports, and how it looks.
    local page="$out/line-report.html"
    echo
    echo "\$ qvm_cli report $report $shift_report --html $page"
    wine "$cli" report "$(win_path "$report")" "$(win_path "$shift_report")" \
        --html "$(win_path "$page")" || return 1
    [[ -s "$page" ]] || { echo "demo: no page was written" >&2; return 1; }
    page_shot "$page" 07-line-report
}

# The page of a whole shift: the runs above last seconds on a few
# simulated serials, which leaves the page's figures and charts all but
# empty. shift_gen.exe (demo/demo_shift.h) writes three stations' reports
# of an 8-hour shift through the station's own report writer (chained);
# their page must hold hours of running time, a real yield and full charts.
shift_page() {
    local page="$out/shift-report.html" files=() names=() f rc=0 json
    echo
    echo "==== The line manager's page of a whole shift ===="
    rm -f "$out"/shift-QVM-ST*.jsonl
    wine "$shift_gen" "$(win_path "$out")" >/dev/null
    files=("$out"/shift-QVM-ST*.jsonl)
    [[ ${#files[@]} -eq 3 && -s "${files[0]}" ]] ||
        { echo "demo: shift_gen.exe wrote no reports" >&2; return 1; }
    for f in "${files[@]}"; do names+=("$(win_path "$f")"); done
    echo "three stations, 06:00-14:00 (+01:00): ${files[*]##*/}"
    echo
    echo "\$ qvm_cli report --verify ${files[*]##*/}"
    wine "$cli" report --verify "${names[@]}" || rc=$?
    [[ $rc -eq 0 ]] || { echo "demo: the shift's chains should be intact (exit $rc)" >&2; return 1; }
    json="$(wine "$cli" report --json "${names[@]}")"
    echo
    echo "\$ qvm_cli report --json ... | jq '{units, first_pass_yield, units_per_hour, running_s, halts}'"
    jq -c '{units, first_pass_yield, units_per_hour, running_s, halts}' <<<"$json"
    jq -e '.units > 0 and .running_s > 3600 and .first_pass_yield >= 0.8 and
           .first_pass_yield <= 1 and .units_per_hour > 0 and .halts >= 1' <<<"$json" >/dev/null ||
        { echo "demo: the shift's figures are empty or out of range" >&2; return 1; }
    echo
    echo "\$ qvm_cli report ${files[*]##*/} --html $page"
    wine "$cli" report "${names[@]}" --html "$(win_path "$page")"
    # Two charts (yield, units per hour) with a bar for each of the 8 hours.
    [[ $(grep -o '<rect ' "$page" | wc -l) -ge 16 ]] ||
        { echo "demo: the shift's page has empty charts" >&2; return 1; }
    page_shot "$page" 08-shift-report
    echo "Shift page demo passed."
}

source "$root/scripts/demo-station.sh"
plug_in_demo_device
if [[ "${QVM_DEMO_AUTO:-0}" == "1" ]]; then
    window_walkthrough
else
    window_for_a_person
fi
cli_list_and_update
cli_station
cli_station_shift
shift_page
station_side
