-- R846-QVM2K station reports in PostgreSQL: brings a database made by
-- schema-postgresql.sql of this or any older version to this version, in
-- place, keeping every row. Run it after schema-postgresql.sql on a new
-- database, and again after every upgrade of the stations; a second run
-- changes nothing. PostgreSQL 10 or newer. As the owner of the schema:
--   psql -d DATABASE -f upgrade-postgresql.sql
-- Columns are only ever added at the end of a view (what CREATE OR REPLACE
-- VIEW allows), so grants and the queries of other systems stay valid.

-- The unit lines with their fields as columns, for the manufacturing
-- systems. Fields a report does not carry are NULL. Since this version:
-- reason (why the MES rejected the unit: result 'rejected') and mes_check
-- ('unchecked' when the unit was written while the MES did not answer).
CREATE OR REPLACE VIEW qvm_unit AS
SELECT
    CASE WHEN j ->> 'time' ~ '^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z$'
         THEN (j ->> 'time')::timestamptz END   AS unit_time,
    COALESCE(j ->> 'station', l.station)        AS station,
    j ->> 'operator'                            AS operator_name,
    j ->> 'order'                               AS work_order,
    j ->> 'serial'                              AS serial,
    j ->> 'index'                               AS device_index,
    j ->> 'old_version'                         AS old_version,
    j ->> 'new_version'                         AS new_version,
    j ->> 'result'                              AS result,
    j ->> 'failure'                             AS failure_kind,
    j ->> 'detail'                              AS detail,
    j ->> 'message'                             AS message,
    j ->> 'image_sha256'                        AS image_sha256,
    (j ->> 'recovered') = 'true'                AS recovered,
    l.report_id,
    l.seq,
    l.line_sha256,
    l.received,
    j ->> 'reason'                              AS reason,
    j ->> 'mes'                                 AS mes_check
FROM qvm_report_line AS l
CROSS JOIN LATERAL (SELECT l.line_text::jsonb AS j) AS parsed
WHERE l.line_type = 'unit';
