-- The first schema, as stations before the MES columns installed it: the
-- starting point of the upgrade test. Kept as it was shipped.
-- R846-QVM2K station reports in PostgreSQL (10 or newer), for the factory's
-- database. Run once by IT, as the owner of the schema:
--   psql -d DATABASE -f schema-postgresql.sql
-- then grant the stations' login what they need, and no more:
--   GRANT SELECT, INSERT ON qvm_report_line TO station_login;
-- The stations never create or alter tables; they insert rows, read them
-- back by key (to tell new lines from lines already held) and, for
-- qvm_cli report --verify --database, read one report's rows.
-- The database must be UTF8 (CREATE DATABASE ... ENCODING 'UTF8').

-- One row per line of a station's report, as the station wrote it.
CREATE TABLE qvm_report_line (
    line_sha256 char(64)     NOT NULL,  -- SHA-256 (hex) of the line's bytes without its line end: the key
    station     varchar(200),           -- the line's "station", else the name of the station that sent it
    report_id   char(64)     NOT NULL,  -- SHA-256 (hex) of the report's first line: its identity
    seq         bigint       NOT NULL,  -- the line's number in its report, from 1
    line_type   varchar(16)  NOT NULL,  -- the line's "type": start, unit, run, halt, ...
    line_text   text         NOT NULL,  -- the line as it stands in the report (JSON)
    received    timestamptz  NOT NULL DEFAULT now(),  -- when the database got it
    CONSTRAINT qvm_report_line_pk PRIMARY KEY (line_sha256)
);
CREATE INDEX qvm_report_line_report ON qvm_report_line (report_id, seq);

-- The unit lines with their fields as columns, for the manufacturing
-- systems. Fields a report does not carry are NULL.
CREATE VIEW qvm_unit AS
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
    l.received
FROM qvm_report_line AS l
CROSS JOIN LATERAL (SELECT l.line_text::jsonb AS j) AS parsed
WHERE l.line_type = 'unit';
