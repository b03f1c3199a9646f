#!/usr/bin/env bash
# Runs `make demo` again and again and prints how it went: runs, passes,
# failures, and how often a contained Wine death fired its retry. A
# measurement, not a test: it never fails on a failed run.
#   demo-repeat.sh [MINUTES [MAX_RUNS]]   (default 45 minutes, no run cap)
# Starts no run that would end past MINUTES by the last run's time. Each
# run's output: build/demo-repeat/run-NNN.log (the failed ones are kept).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
minutes="${1:-45}"
max_runs="${2:-0}"
logs="$root/build/demo-repeat"
mkdir -p "$logs"
rm -f "$logs"/run-*.log

runs=0 passes=0 failures=0 retries=0 deaths=0 last=0
start=$SECONDS
while ((max_runs == 0 || runs < max_runs)); do
    ((SECONDS - start + last <= minutes * 60)) || break
    runs=$((runs + 1))
    log="$logs/$(printf 'run-%03d.log' "$runs")"
    t0=$SECONDS
    make -C "$root" demo >"$log" 2>&1
    rc=$?
    last=$((SECONDS - t0))
    # The contained death (devsim-install.sh's sc create retry) and any ld.so
    # death anywhere in the run.
    fired=$(grep -c 'devsim-install: sc create died in ld.so' "$log")
    died=$(grep -c 'Inconsistency detected by ld.so' "$log")
    retries=$((retries + fired)) deaths=$((deaths + died))
    if ((rc == 0)); then
        passes=$((passes + 1))
        rm -f "$log"
        verdict=pass
    else
        failures=$((failures + 1))
        verdict="FAIL (exit $rc, $log)"
    fi
    echo "run $runs: $verdict, ${last} s, retries fired $fired, ld.so deaths uncontained $died"
done
echo "demo-repeat: runs $runs, passes $passes, failures $failures, retries fired $retries," \
     "ld.so deaths left uncontained $deaths, $(((SECONDS - start) / 60)) min"
