-- R846-QVM2K station reports in Microsoft SQL Server (2016 or newer: the
-- view reads JSON with JSON_VALUE), for the factory's database. Run once by
-- IT, in the factory's database, as the owner of the schema:
--   sqlcmd -S SERVER -d DATABASE -E -i schema-sqlserver.sql
--   sqlcmd -S SERVER -d DATABASE -E -i upgrade-sqlserver.sql   (the views; see there)
-- then grant the stations' login what they need, and no more:
--   GRANT SELECT, INSERT ON dbo.qvm_report_line TO [DOMAIN\Stations];
-- The stations never create or alter tables; they insert rows, read them
-- back by key (to tell new lines from lines already held) and, for
-- qvm_cli report --verify --database, read one report's rows.
-- Text is nvarchar (UTF-16): a station named "Prüfstand 2" is stored as such.

-- One row per line of a station's report, as the station wrote it.
CREATE TABLE dbo.qvm_report_line (
    line_sha256 char(64)       NOT NULL,  -- SHA-256 (hex) of the line's bytes without its line end: the key
    station     nvarchar(200)  NULL,      -- the line's "station", else the name of the station that sent it
    report_id   char(64)       NOT NULL,  -- SHA-256 (hex) of the report's first line: its identity
    seq         bigint         NOT NULL,  -- the line's number in its report, from 1
    line_type   nvarchar(16)   NOT NULL,  -- the line's "type": start, unit, run, halt, ...
    line_text   nvarchar(max)  NOT NULL,  -- the line as it stands in the report (JSON)
    received    datetime2(3)   NOT NULL
        CONSTRAINT qvm_report_line_received DEFAULT SYSUTCDATETIME(),  -- when the database got it (UTC)
    CONSTRAINT qvm_report_line_pk PRIMARY KEY (line_sha256)
);
GO
CREATE INDEX qvm_report_line_report ON dbo.qvm_report_line (report_id, seq);
GO
-- The views are made by upgrade-sqlserver.sql.
