-- R846-QVM2K station reports in PostgreSQL (10 or newer), for the factory's
-- database. Run once by IT, as the owner of the schema:
--   psql -d DATABASE -f schema-postgresql.sql
--   psql -d DATABASE -f upgrade-postgresql.sql   (the views; see there)
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
-- The views are made by upgrade-postgresql.sql.
