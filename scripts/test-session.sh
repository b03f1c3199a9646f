#!/usr/bin/env bash
# Runs a command inside a test session: a fresh Wine prefix copied from the
# template, one persistent wineserver (every Wine start is cheap then) and,
# unless QVM_USE_DISPLAY=1, a private Xvfb display. Everything started here
# is stopped again on exit.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
# Each session has a prefix of its own, so sessions can run side by side.
export QVM_WINEPREFIX="${QVM_SESSION_PREFIX:-$QVM_WINE_ROOT/session.$$}"
export WINEPREFIX="$QVM_WINEPREFIX"

xvfb_pid=""
pg_dir=""
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    [[ -n "$pg_dir" ]] && "$(dirname "$0")/pg-server.sh" stop "$pg_dir" || true
    [[ -n "$pg_dir" ]] && rm -rf "$pg_dir" || true
    if [[ -z "${QVM_SESSION_PREFIX:-}" ]]; then rm -rf "$QVM_WINEPREFIX"; fi
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true
    [[ -n "$xvfb_pid" ]] && wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

"$(dirname "$0")/wine-prefix.sh" --fresh

if [[ "${QVM_USE_DISPLAY:-0}" != "1" || -z "${DISPLAY:-}" ]]; then
    fifo="$(mktemp -u)"; mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    xvfb_pid=$!
    disp=""
    read -r -t 30 disp <"$fifo" || true
    rm -f "$fifo"
    [[ -n "$disp" ]] ||
        { echo "test-session: timed out after 30 s waiting for Xvfb to name its display (or it ended)" >&2; exit 1; }
    export DISPLAY=":$disp"
fi

# A PostgreSQL server of the session's own for the database tests (on a
# Unix socket only; QVM_PG_SOCKET, QVM_PG_DIR). Without it only those fail.
pg_dir="$QVM_BUILD_ROOT/pg.$$"
if pg_env="$("$(dirname "$0")/pg-server.sh" start "$pg_dir")"; then
    eval "$pg_env"
else
    echo "test-session: no PostgreSQL server; the database tests will fail" >&2
fi

wineserver -p </dev/null >/dev/null 2>&1
# Start Wine's own background processes (services, explorer) here, with no
# pipes of ours open, so that a test's output pipe closes when it ends.
wine wineboot </dev/null >/dev/null 2>&1
"$@"
