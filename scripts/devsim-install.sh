#!/usr/bin/env bash
# Installs the simulated-device driver into the current Wine prefix and
# starts it, so that \\.\R846_QVM2K_CTL (and the devices configured through
# it) exist for as long as wineserver runs; the service starts
# automatically (Start = 2) whenever wineserver comes back.
#   devsim-install.sh DRIVER.sys [DEVSIMCTL.exe]
# With devsimctl.exe it also waits until the control device answers.
# Idempotent: a driver already running from the same file is left alone,
# a changed file is stopped, replaced and started again.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

sys="${1:?usage: devsim-install.sh DRIVER.sys [DEVSIMCTL.exe]}"
ctl="${2:-}"
svc=r846sim
drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
dest="$drivers/$svc.sys"

[[ -f "$sys" ]] || { echo "devsim-install: no driver at $sys" >&2; exit 1; }
[[ -f "$WINEPREFIX/.qvm-template" ]] || "$(dirname "$0")/wine-prefix.sh"

# One wine start for the whole query: exit status 0 running, 1 stopped,
# 2 not installed.
service_state() {
    local out
    out="$(wine sc query "$svc" 2>/dev/null | tr -d '\r')" || true
    if grep -q 'RUNNING' <<<"$out"; then return 0; fi
    if grep -q 'STATE' <<<"$out"; then return 1; fi
    return 2
}

state=0; service_state || state=$?
if ! cmp -s "$sys" "$dest"; then
    [[ $state -eq 0 ]] && { wine sc stop "$svc" >/dev/null 2>&1 || true; state=1; }
    mkdir -p "$drivers"
    cp "$sys" "$dest"
fi
if [[ $state -eq 2 ]]; then
    wine sc create "$svc" type= kernel start= demand \
        binPath= 'C:\windows\system32\drivers\r846sim.sys' >/dev/null
    # Demand-start drivers vanish with wineserver; Start = 2 brings it back.
    wine reg add "HKLM\\System\\CurrentControlSet\\Services\\$svc" \
        /v Start /t REG_DWORD /d 2 /f >/dev/null 2>&1
    state=1
fi
if [[ $state -ne 0 ]]; then
    if ! wine sc start "$svc" >/dev/null 2>&1; then
        # Wine refuses while a fresh prefix is still settling; once more.
        sleep 1
        wine sc start "$svc" >/dev/null 2>&1 || { echo "devsim-install: sc start $svc failed" >&2; exit 1; }
    fi
fi

if [[ -n "$ctl" ]]; then
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        wine "$ctl" ping >/dev/null 2>&1 && exit 0
        sleep 0.5
    done
    echo "devsim-install: the driver does not answer on \\\\.\\R846_QVM2K_CTL" >&2
    exit 1
fi
