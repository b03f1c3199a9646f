#!/usr/bin/env bash
# A PostgreSQL server of the test session's own, for the database tests:
#   pg-server.sh start DIR   data folder DIR, a socket folder of its own under
#                            /tmp (a socket path holds about 100 characters);
#                            prints the shell lines that export QVM_PG_*
#   pg-server.sh stop DIR    stops it and removes its socket folder
#   pg-server.sh ctl DIR stop|start   stops or starts the server, data kept (tests)
# It listens on no TCP port. PostgreSQL refuses to run as root, so the server
# runs as the user "postgres" (or QVM_PG_OSUSER), which must reach DIR: root's
# home is closed to it. Users: qvm_admin (owner, makes the schema), qvm_station
# (may insert and read the table, as IT would grant), passwords as below.
set -euo pipefail
cmd="${1:-}"; dir="${2:-}"
[[ -n "$cmd" && -n "$dir" ]] || { echo "usage: pg-server.sh start|stop|ctl DIR [stop|start]" >&2; exit 1; }
bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)"
[[ -x "$bin/pg_ctl" ]] || { echo "pg-server: PostgreSQL is not installed (scripts/deps.sh)" >&2; exit 1; }
osuser="${QVM_PG_OSUSER:-postgres}"
as_user() { if [[ $(id -u) -eq 0 ]]; then runuser -u "$osuser" -- "$@"; else "$@"; fi; }
src="$(cd "$(dirname "$0")/.." && pwd)"

case "$cmd" in
start)
    rm -rf "$dir"; mkdir -p "$dir"; dir="$(cd "$dir" && pwd)"
    sock="$(mktemp -d /tmp/qvmpg.XXXXXX)"
    echo "$sock" >"$dir/socket-dir"
    if [[ $(id -u) -eq 0 ]]; then chown "$osuser" "$dir" "$sock"; fi
    printf '%s\n' admin-pw >"$dir/pw"
    [[ $(id -u) -eq 0 ]] && chown "$osuser" "$dir/pw"
    as_user "$bin/initdb" -D "$dir/data" -U qvm_admin --pwfile="$dir/pw" -E UTF8 --locale=C.UTF-8 \
        --auth-local=scram-sha-256 --auth-host=reject >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    as_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
        -o "-c listen_addresses='' -c unix_socket_directories='$sock' -c fsync=off" start >/dev/null ||
        { cat "$dir/server.log" >&2; exit 1; }
    export PGPASSWORD=admin-pw
    psql=("$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$sock" -U qvm_admin)
    "${psql[@]}" -d postgres -c "CREATE DATABASE qvm_factory ENCODING 'UTF8'" >/dev/null
    "${psql[@]}" -d qvm_factory -f "$src/dist/sql/schema-postgresql.sql" >/dev/null
    "${psql[@]}" -d qvm_factory -f "$src/dist/sql/upgrade-postgresql.sql" >/dev/null
    "${psql[@]}" -d qvm_factory >/dev/null <<'SQL'
CREATE ROLE qvm_station LOGIN PASSWORD 'station-pw';
GRANT SELECT, INSERT ON qvm_report_line TO qvm_station;
GRANT SELECT ON qvm_unit TO qvm_station;
CREATE ROLE qvm_reader LOGIN PASSWORD 'reader-pw';
GRANT SELECT ON qvm_report_line TO qvm_reader;
SQL
    echo "export QVM_PG_SOCKET='$sock' QVM_PG_DIR='$dir'"
    ;;
stop)
    [[ -d "$dir/data" ]] && as_user "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    [[ -f "$dir/socket-dir" ]] && rm -rf "$(cat "$dir/socket-dir")"
    ;;
ctl)
    sock="$(cat "$dir/socket-dir")"
    case "${3:-}" in
    stop) as_user "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null ;;
    start) as_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
        -o "-c listen_addresses='' -c unix_socket_directories='$sock' -c fsync=off" start >/dev/null ;;
    *) echo "pg-server: ctl DIR stop|start" >&2; exit 1 ;;
    esac
    ;;
*) echo "pg-server: unknown command $cmd" >&2; exit 1 ;;
esac
