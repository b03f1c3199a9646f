#!/usr/bin/env bash
# An idle station's CPU time over a minute, before and after the station
# slept on events: the qvm_cli of BASELINE (default: the last commit whose
# station still ticked every 50 ms) and the current one, one after the
# other in one session, no device plugged in. Prints figures; never fails.
# Run inside scripts/test-session.sh (make bench does).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${IDLE_SECONDS:-60}"
baseline_rev="${BASELINE:-dcf097c}"
base_dir="$root/build/bench-baseline"
base_exe="$base_dir/build/windows/GUI/qvm_cli/qvm_cli.exe"
new_exe="$root/build/windows/GUI/qvm_cli/qvm_cli.exe"

# The baseline program, built once from a clean checkout of that commit.
if [[ ! -x "$base_exe" ]]; then
    echo "bench-idle: building qvm_cli of $baseline_rev (once) in $base_dir"
    rm -rf "$base_dir"
    git -C "$root" worktree prune
    git -C "$root" worktree add -f --detach "$base_dir" "$baseline_rev" >/dev/null 2>&1 &&
        (cd "$base_dir" && cmake --preset windows >/dev/null &&
         cmake --build build/windows -j "$(nproc)" --target qvm_cli >/dev/null) ||
        echo "bench-idle: the baseline could not be built; only the current program is measured"
fi

# CPU seconds (user + system) of the Wine process running exe, over $seconds.
measure() {
    local exe="$1" report
    report="$(mktemp -u /tmp/idle-report.XXXXXX).jsonl"
    wine "$exe" station --report "$(winepath -w "$report")" >/dev/null 2>&1 &
    # wine execs the program in place: this is its process, and no other
    # station on the machine is measured.
    local pid=$!
    sleep 3  # start-up is not idling
    if ! grep -qa "$(basename "$exe")" "/proc/$pid/cmdline" 2>/dev/null; then
        echo "n/a (did not start)"; return
    fi
    local tck; tck="$(getconf CLK_TCK)"
    local a b
    a="$(awk '{print $14 + $15}' "/proc/$pid/stat")"
    sleep "$seconds"
    b="$(awk '{print $14 + $15}' "/proc/$pid/stat")"
    kill -INT "$pid" 2>/dev/null; sleep 1; kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "$report"
    awk -v a="$a" -v b="$b" -v t="$tck" 'BEGIN { printf "%.2f", (b - a) / t }'
}

echo "idle station, ${seconds} s, no device plugged in (CPU seconds, user + system)"
before="n/a"
[[ -x "$base_exe" ]] && before="$(measure "$base_exe")"
after="$(measure "$new_exe")"
printf '  %-34s %s\n' "before ($baseline_rev, 50 ms ticks):" "$before" \
                      "after (waits on events):" "$after"
