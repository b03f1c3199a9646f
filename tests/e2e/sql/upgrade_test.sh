#!/usr/bin/env bash
# The upgrade script on a database that already holds rows: the table as
# schema-postgresql.sql makes it with the view as the first version shipped
# it (first-view-postgresql.sql), given rows and a grant, then upgraded
# twice. Every row stays and is read for the figures (the second run
# rewrites none), a station's insert of a line that is not JSON to
# PostgreSQL still goes in, the view shows the new
# columns for old and new lines, the grant holds, and the view's columns
# are those of a database made new by schema + upgrade. Runs against the
# test session's PostgreSQL (scripts/pg-server.sh: QVM_PG_SOCKET).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
src="$(cd "$here/../../.." && pwd)"
[[ -n "${QVM_PG_SOCKET:-}" ]] || { echo "no PostgreSQL: run inside scripts/test-session.sh" >&2; exit 1; }
bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)"
export PGPASSWORD=admin-pw PGCLIENTENCODING=UTF8
sql() { "$bin/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$QVM_PG_SOCKET" -U qvm_admin "$@"; }
old=qvm_upgrade_old fresh=qvm_upgrade_new
cleanup() { sql -d postgres -c "DROP DATABASE IF EXISTS $old" -c "DROP DATABASE IF EXISTS $fresh" >/dev/null 2>&1 || true; }
trap cleanup EXIT
cleanup
fail() { echo "FAIL: $*" >&2; exit 1; }

sql -d postgres -c "CREATE DATABASE $old ENCODING 'UTF8'" -c "CREATE DATABASE $fresh ENCODING 'UTF8'"
sql -d "$old" -f "$src/dist/sql/schema-postgresql.sql" >/dev/null
sql -d "$old" -f "$here/first-view-postgresql.sql" >/dev/null
sql -d "$old" >/dev/null <<'SQL'
DO $$ BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'qvm_upgrade_reader') THEN
    CREATE ROLE qvm_upgrade_reader;
  END IF;
END $$;
GRANT SELECT ON qvm_unit TO qvm_upgrade_reader;
INSERT INTO qvm_report_line (line_sha256, station, report_id, seq, line_type, line_text) VALUES
 (repeat('1', 64), 'S1', repeat('a', 64), 1, 'run', '{"type":"run","event":"open"}'),
 (repeat('2', 64), 'S1', repeat('a', 64), 2, 'unit',
  '{"type":"unit","serial":"7","result":"updated","time":"2026-12-01T08:00:00Z"}'),
 (repeat('3', 64), 'S1', repeat('a', 64), 3, 'unit',
  '{"type":"unit","serial":"8","result":"rejected","reason":"on hold","time":"2026-12-01T08:01:00Z"}'),
 (repeat('4', 64), 'S1', repeat('a', 64), 4, 'unit',
  '{"type":"unit","serial":"9","result":"updated","mes":"unchecked","time":"2026-12-01T08:02:00Z"}');
SQL
sql -d "$old" -f "$src/dist/sql/upgrade-postgresql.sql" >/dev/null || fail "upgrade run 1"
# The second run rewrites no row (xmin: the transaction that last wrote it).
versions="$(sql -d "$old" -c "SELECT string_agg(xmin::text, ',' ORDER BY seq) FROM qvm_report_line")"
sql -d "$old" -f "$src/dist/sql/upgrade-postgresql.sql" >/dev/null || fail "upgrade run 2"
[[ "$(sql -d "$old" -c "SELECT string_agg(xmin::text, ',' ORDER BY seq) FROM qvm_report_line")" == "$versions" ]] ||
    fail "the second run rewrote rows"
[[ "$(sql -d "$old" -c 'SELECT count(*) FROM qvm_report_line')" == 4 ]] || fail "rows lost or added"
# The rows held before were read in place for the figures.
got="$(sql -d "$old" -c "SELECT seq || '|' || json_ok || '|' || coalesce(line_kind, '-') || '|' ||
                               coalesce(run_event, '-') || '|' || coalesce(line_ms::text, '-') || '|' ||
                               coalesce(result, '-') || '|' || coalesce(serial::text, '-')
                        FROM qvm_report_line ORDER BY seq")"
want="1|1|run|open|-|-|-
2|1|unit|-|1796112000000|updated|-
3|1|unit|-|1796112060000|rejected|-
4|1|unit|-|1796112120000|updated|-"
[[ "$got" == "$want" ]] || fail "the rows held were read as
$got
where they should read
$want"
# A station's insert (its statement as it stands) of a line PostgreSQL does
# not take as JSON (\u0000) still goes in, and the view still answers.
sql -d "$old" >/dev/null <<'SQL'
INSERT INTO qvm_report_line (line_sha256, station, report_id, seq, line_type, line_text)
SELECT repeat('5', 64), 'S1', repeat('a', 64), CAST('5' AS BIGINT), 'unit',
       '{"type":"unit","serial":10,"result":"failed","detail":4294967294,"message":"\u0000","time":"2026-12-01T08:03:00.250Z"}'
WHERE NOT EXISTS (SELECT 1 FROM qvm_report_line WHERE line_sha256 = repeat('5', 64));
INSERT INTO qvm_report_line (line_sha256, station, report_id, seq, line_type, line_text)
SELECT repeat('6', 64), 'S1', repeat('a', 64), CAST('6' AS BIGINT), 'unit',
       '{"type":"unit","serial":10,"result":"failed","detail":4294967294,"time":"2026-12-01T08:03:00.250Z"}'
WHERE NOT EXISTS (SELECT 1 FROM qvm_report_line WHERE line_sha256 = repeat('6', 64));
SQL
got="$(sql -d "$old" -c "SELECT seq || '|' || json_ok || '|' || coalesce(line_kind, '-') || '|' ||
                               coalesce(line_ms::text, '-') || '|' || coalesce(serial::text, '-') || '|' ||
                               coalesce(failure, '-') FROM qvm_report_line WHERE seq > 4 ORDER BY seq")"
want="5|0|-|-|-|-
6|1|unit|1796112180250|10|no_answer"
[[ "$got" == "$want" ]] || fail "new lines were read as
$got
where they should read
$want"
[[ "$(sql -d "$old" -c "SELECT count(*) || '|' || count(unit_time) FROM qvm_unit")" == "5|4" ]] ||
    fail "the view does not show every unit line"
sql -d "$old" -c "DELETE FROM qvm_report_line WHERE seq > 4" >/dev/null
got="$(sql -d "$old" -c "SELECT serial || '|' || result || '|' || coalesce(reason, '-') || '|' ||
                               coalesce(mes_check, '-') || '|' || unit_time FROM qvm_unit ORDER BY seq")"
want="7|updated|-|-|2026-12-01 08:00:00+00
8|rejected|on hold|-|2026-12-01 08:01:00+00
9|updated|-|unchecked|2026-12-01 08:02:00+00"
[[ "$got" == "$want" ]] || fail "the upgraded view shows
$got
where it should show
$want"
[[ "$(sql -d "$old" -c "SELECT has_table_privilege('qvm_upgrade_reader', 'qvm_unit', 'SELECT')")" == t ]] ||
    fail "the grant on the view was lost"

sql -d "$fresh" -f "$src/dist/sql/schema-postgresql.sql" >/dev/null
sql -d "$fresh" -f "$src/dist/sql/upgrade-postgresql.sql" >/dev/null
cols() { sql -d "$1" -c "SELECT string_agg(column_name || ' ' || data_type, ', ' ORDER BY ordinal_position)
                         FROM information_schema.columns WHERE table_name = '$2'"; }
for t in qvm_report_line qvm_unit; do
    [[ "$(cols "$old" $t)" == "$(cols "$fresh" $t)" ]] ||
        fail "$t: upgraded ($(cols "$old" $t)) and new ($(cols "$fresh" $t)) differ"
done
echo "upgrade: rows, view and grant kept; same columns as a new database"
