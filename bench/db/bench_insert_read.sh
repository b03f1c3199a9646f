#!/usr/bin/env bash
# What reading each line at insert (upgrade-postgresql.sql's trigger) costs
# the stations' inserts: ROWS unit lines (default 100000) inserted by one
# psql session with the stations' statement (INSERT ... SELECT ... WHERE
# NOT EXISTS), in transactions of 500, into a table with the trigger and
# into the same table with it disabled. Prints the seconds and rows per
# second of each. Needs the test session's PostgreSQL (QVM_PG_SOCKET).
set -euo pipefail
src="$(cd "$(dirname "$0")/../.." && pwd)"
[[ -n "${QVM_PG_SOCKET:-}" ]] || { echo "no PostgreSQL: run inside scripts/test-session.sh" >&2; exit 1; }
rows="${1:-100000}"
bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)"
export PGPASSWORD=admin-pw PGCLIENTENCODING=UTF8
sql() { "$bin/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$QVM_PG_SOCKET" -U qvm_admin "$@"; }
db=qvm_bench_insert
work="$(mktemp -d)"
cleanup() { sql -d postgres -c "DROP DATABASE IF EXISTS $db" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
cleanup; mkdir -p "$work"

# The lines, as a station writes them, in batches of 500.
python3 - "$rows" "$work/in.sql" <<'PY'
import hashlib, sys
rows, out = int(sys.argv[1]), open(sys.argv[2], "w")
rid = hashlib.sha256(b"bench").hexdigest()
for i in range(rows):
    if i % 500 == 0:
        out.write("BEGIN;\n")
    ms = 1796112000000 + i * 1000
    t = "2026-12-01T%02d:%02d:%02d.000Z" % (ms // 3600000 % 24, ms // 60000 % 60, ms // 1000 % 60)
    line = ('{"type":"unit","time":"%s","id":%d,"index":%d,"serial":%d,"old_version":"1.0",'
            '"new_version":"1.1","result":"%s","message":"","detail":0,"ms":8123,'
            '"operator":"anna","order":"WO-%d","station":"S%d"}'
            % (t, i + 1, i % 8, 100000 + i, "failed" if i % 17 == 0 else "updated", i // 5000, i % 4))
    key = hashlib.sha256(line.encode()).hexdigest()
    out.write("INSERT INTO qvm_report_line (line_sha256, station, report_id, seq, line_type, line_text) "
              "SELECT '%s', 'S%d', '%s', CAST('%d' AS BIGINT), 'unit', '%s' "
              "WHERE NOT EXISTS (SELECT 1 FROM qvm_report_line WHERE line_sha256 = '%s');\n"
              % (key, i % 4, rid, i + 1, line, key))
    if i % 500 == 499 or i == rows - 1:
        out.write("COMMIT;\n")
PY

run() {
    sql -d "$db" -c "TRUNCATE qvm_report_line" -c "$1" >/dev/null
    local t0 t1
    t0=$(date +%s.%N)
    sql -d "$db" -f "$work/in.sql" >/dev/null
    t1=$(date +%s.%N)
    python3 -c "import sys; s=float(sys.argv[2])-float(sys.argv[1]); print('%-16s %8.2f s  %9.0f rows/s' % (sys.argv[3], s, int(sys.argv[4])/s))" \
        "$t0" "$t1" "$2" "$rows"
}
sql -d postgres -c "CREATE DATABASE $db ENCODING 'UTF8'" >/dev/null
sql -d "$db" -f "$src/dist/sql/schema-postgresql.sql" >/dev/null
sql -d "$db" -f "$src/dist/sql/upgrade-postgresql.sql" >/dev/null
echo "$rows unit lines, transactions of 500, one session:"
for round in 1 2; do
    run "ALTER TABLE qvm_report_line DISABLE TRIGGER qvm_report_line_read" "without reading"
    run "ALTER TABLE qvm_report_line ENABLE TRIGGER qvm_report_line_read" "reading (trigger)"
done
