-- R846-QVM2K station reports in Microsoft SQL Server: brings a database
-- made by schema-sqlserver.sql of this or any older version to this
-- version, in place, keeping every row. Run it after schema-sqlserver.sql
-- on a new database, and again after every upgrade of the stations; a
-- second run changes nothing. SQL Server 2016 SP1 or newer (CREATE OR
-- ALTER), the database at compatibility level 130 or higher (OPENJSON;
-- 130 is 2016's own). As the owner of the schema (dbo), stopping at the
-- first error (-b):
--   sqlcmd -S SERVER -d DATABASE -E -b -i upgrade-sqlserver.sql
-- Columns are only ever added at the end of a table or a view, so grants,
-- the stations' INSERT and the queries of other systems stay valid.

IF (SELECT compatibility_level FROM sys.databases WHERE name = DB_NAME()) < 130
    RAISERROR(N'upgrade-sqlserver.sql needs the database at compatibility level 130 or higher: ALTER DATABASE ... SET COMPATIBILITY_LEVEL = 130', 16, 1);
GO

-- What the line's figures (qvm_cli report --database) read of each line,
-- taken from line_text once, when the row goes in, by the trigger below;
-- the same reading as the report's own reader (words compared exactly:
-- binary collation). NULL where the line does not say it; every one NULL
-- when line_text is not JSON (json_ok 0), which never stops the insert.
IF COL_LENGTH(N'dbo.qvm_report_line', N'json_ok') IS NULL
    ALTER TABLE dbo.qvm_report_line ADD
        json_ok    smallint      NULL,  -- 1: line_text is a JSON object, 0: not (NULL: not read yet)
        line_kind  nvarchar(8)   COLLATE Latin1_General_BIN2 NULL,  -- start, unit, run or halt as the figures count it
        line_ms    bigint        NULL,  -- "time", UTC ms since 1970 (NULL: not such a time)
        run_event  nvarchar(8)   COLLATE Latin1_General_BIN2 NULL,  -- run: open, stop or clock
        utc_offset nvarchar(400) COLLATE Latin1_General_BIN2 NULL,  -- run: the station computer's offset ("+01:00")
        was_ms     bigint        NULL,  -- run clock: "was", UTC ms
        result     nvarchar(16)  COLLATE Latin1_General_BIN2 NULL,  -- unit: updated, current, failed, interrupted, rejected
        serial     bigint        NULL,  -- unit: a whole number "serial"
        failure    nvarchar(16)  COLLATE Latin1_General_BIN2 NULL,  -- failed unit: its kind ("failure", else from "detail")
        work_order nvarchar(400) COLLATE Latin1_General_BIN2 NULL,  -- "order" (NULL: the line names none)
        recovered  smallint      NULL;  -- unit: 1 when "recovered": true, else 0
GO

-- "YYYY-MM-DDTHH:MM:SS[.mmm]Z" as UTC ms (any day 1..31 of any month, a
-- leap second taken), NULL for any other text: as the stations read times.
-- Days from the civil date with years beginning in March; integer
-- division truncates, as the stations' own arithmetic does.
CREATE OR ALTER FUNCTION dbo.qvm_utc_ms(@t nvarchar(100)) RETURNS TABLE AS RETURN
SELECT CASE WHEN p.mo BETWEEN 1 AND 12 AND p.d BETWEEN 1 AND 31 AND p.h <= 23 AND p.mi <= 59
                 AND p.sec <= 60
            THEN (((CAST(e.era AS bigint) * 146097 + b.doe - 719468) * 24 + p.h) * 60 + p.mi) * 60000
                 + p.sec * 1000 + p.ms END AS ms
FROM (SELECT CASE WHEN @t COLLATE Latin1_General_BIN2 LIKE
                       N'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]Z'
                    OR @t COLLATE Latin1_General_BIN2 LIKE
                       N'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9].[0-9][0-9][0-9]Z'
                  THEN @t END AS t) AS s
CROSS APPLY (SELECT TRY_CONVERT(int, SUBSTRING(s.t, 1, 4)) AS y, TRY_CONVERT(int, SUBSTRING(s.t, 6, 2)) AS mo,
                    TRY_CONVERT(int, SUBSTRING(s.t, 9, 2)) AS d, TRY_CONVERT(int, SUBSTRING(s.t, 12, 2)) AS h,
                    TRY_CONVERT(int, SUBSTRING(s.t, 15, 2)) AS mi, TRY_CONVERT(int, SUBSTRING(s.t, 18, 2)) AS sec,
                    CASE WHEN LEN(s.t) = 24 THEN TRY_CONVERT(int, SUBSTRING(s.t, 21, 3)) ELSE 0 END AS ms) AS p
CROSS APPLY (SELECT p.y - CASE WHEN p.mo <= 2 THEN 1 ELSE 0 END AS yy) AS a
CROSS APPLY (SELECT (CASE WHEN a.yy >= 0 THEN a.yy ELSE a.yy - 399 END) / 400 AS era) AS e
CROSS APPLY (SELECT a.yy - e.era * 400 AS yoe,
                    (153 * (p.mo + CASE WHEN p.mo > 2 THEN -3 ELSE 9 END) + 2) / 5 + p.d - 1 AS doy) AS c
CROSS APPLY (SELECT c.yoe * 365 + c.yoe / 4 - c.yoe / 100 + c.doy AS doe) AS b;
GO

-- The columns above of one line. OPENJSON's type tells a string (1) from
-- a number (2) and true/false (3), as the stations' reader does; a
-- member named twice is read once, whichever.
CREATE OR ALTER FUNCTION dbo.qvm_read_line(@text nvarchar(max)) RETURNS TABLE AS RETURN
SELECT v.json_ok, k.line_kind, tm.ms AS line_ms,
       CASE WHEN k.line_kind = N'run' THEN m.ev END AS run_event,
       CASE WHEN k.line_kind = N'run' AND m.utc_offset <> N'' THEN LEFT(m.utc_offset, 400) END AS utc_offset,
       CASE WHEN k.line_kind = N'run' AND m.ev = N'clock' THEN w.ms END AS was_ms,
       CASE WHEN k.line_kind = N'unit' THEN m.res END AS result,
       CASE WHEN k.line_kind = N'unit' AND LEN(m.ser) BETWEEN 1 AND 20
                 AND (m.ser NOT LIKE N'%[^0-9]%' OR (LEFT(m.ser, 1) = N'-' AND SUBSTRING(m.ser, 2, 20) NOT LIKE N'%[^0-9]%'))
            THEN TRY_CONVERT(bigint, m.ser) END AS serial,
       CASE WHEN k.line_kind <> N'unit' THEN NULL
            WHEN m.fail <> N'' THEN CASE WHEN m.fail IN (N'refused', N'no_answer', N'deadline', N'unplugged',
                                                         N'unverified', N'other') THEN m.fail ELSE N'other' END
            WHEN m.res <> N'failed' THEN NULL
            -- Lines written before lines named their kind: from the code.
            WHEN f.detail = 4294967294 THEN N'no_answer'
            WHEN f.detail = 4294967293 THEN N'unverified'
            WHEN f.detail = 4294967291 THEN N'deadline'
            WHEN f.detail IN (0, 4294967295, 4294967292, 4294967290) THEN N'other'
            WHEN f.detail > 18446744073709551615 THEN N'other'
            ELSE N'refused' END AS failure,
       LEFT(m.ord, 400) AS work_order,
       CASE WHEN k.line_kind = N'unit' THEN CASE WHEN m.rec = N'true' THEN 1 ELSE 0 END END AS recovered
FROM (SELECT CASE WHEN ISJSON(@text) > 0 AND LEFT(LTRIM(@text), 1) = N'{' THEN 1 ELSE 0 END AS json_ok) AS v
CROSS APPLY (SELECT
        MAX(CASE WHEN j.[key] = N'type' AND j.[type] = 1 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS typ,
        MAX(CASE WHEN j.[key] = N'time' AND j.[type] = 1 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS tim,
        MAX(CASE WHEN j.[key] = N'event' AND j.[type] = 1 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS ev,
        MAX(CASE WHEN j.[key] = N'utc_offset' AND j.[type] = 1 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS utc_offset,
        MAX(CASE WHEN j.[key] = N'was' AND j.[type] = 1 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS was,
        MAX(CASE WHEN j.[key] = N'result' AND j.[type] = 1 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS res,
        MAX(CASE WHEN j.[key] = N'serial' AND j.[type] = 2 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS ser,
        MAX(CASE WHEN j.[key] = N'failure' AND j.[type] = 1 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS fail,
        MAX(CASE WHEN j.[key] = N'detail' AND j.[type] = 2 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS det,
        MAX(CASE WHEN j.[key] = N'order' AND j.[type] = 1 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS ord,
        MAX(CASE WHEN j.[key] = N'recovered' AND j.[type] = 3 THEN j.[value] END) COLLATE Latin1_General_BIN2 AS rec
    FROM OPENJSON(CASE WHEN v.json_ok = 1 THEN @text ELSE N'{}' END) AS j) AS m
CROSS APPLY (SELECT CASE WHEN m.typ IN (N'start', N'halt') THEN m.typ
                         WHEN m.typ = N'run' AND m.ev IN (N'open', N'stop', N'clock') THEN N'run'
                         WHEN m.typ = N'unit' AND m.res IN (N'updated', N'current', N'failed', N'interrupted',
                                                            N'rejected') THEN N'unit' END AS line_kind) AS k
CROSS APPLY (SELECT CASE WHEN m.det IS NULL OR m.det LIKE N'%[^0-9]%' OR LEN(m.det) NOT BETWEEN 1 AND 20 THEN 0
                         ELSE TRY_CONVERT(decimal(20, 0), m.det) END AS detail) AS f
CROSS APPLY dbo.qvm_utc_ms(LEFT(m.tim, 100)) AS tm
CROSS APPLY dbo.qvm_utc_ms(LEFT(m.was, 100)) AS w;
GO

-- Every row as it goes in. NOCOUNT: the stations' INSERT still reports
-- its own row count only (it tells new lines from lines already held).
-- The trigger, the function and the table share their owner, so the
-- stations' login needs no right beyond SELECT and INSERT.
CREATE OR ALTER TRIGGER dbo.qvm_report_line_read ON dbo.qvm_report_line AFTER INSERT AS
BEGIN
    SET NOCOUNT ON;
    UPDATE l SET json_ok = r.json_ok, line_kind = r.line_kind, line_ms = r.line_ms,
                 run_event = r.run_event, utc_offset = r.utc_offset, was_ms = r.was_ms,
                 result = r.result, serial = r.serial, failure = r.failure,
                 work_order = r.work_order, recovered = r.recovered
    FROM dbo.qvm_report_line AS l
    JOIN inserted AS i ON i.line_sha256 = l.line_sha256
    CROSS APPLY dbo.qvm_read_line(l.line_text) AS r;
END;
GO

-- Rows held from before: read once, a slice at a time (json_ok is set for
-- every row read).
WHILE 1 = 1
BEGIN
    UPDATE TOP (10000) l SET json_ok = r.json_ok, line_kind = r.line_kind, line_ms = r.line_ms,
                 run_event = r.run_event, utc_offset = r.utc_offset, was_ms = r.was_ms,
                 result = r.result, serial = r.serial, failure = r.failure,
                 work_order = r.work_order, recovered = r.recovered
    FROM dbo.qvm_report_line AS l
    CROSS APPLY dbo.qvm_read_line(l.line_text) AS r
    WHERE l.json_ok IS NULL;
    IF @@ROWCOUNT = 0 BREAK;
END;
GO

-- A serial's lines in time order (first passes, the serials not at the
-- image); a report's lines in order is qvm_report_line_report. Not a
-- filtered index: that would hold every writer to its SET options.
IF NOT EXISTS (SELECT 1 FROM sys.indexes
               WHERE object_id = OBJECT_ID(N'dbo.qvm_report_line') AND name = N'qvm_report_line_serial')
    CREATE INDEX qvm_report_line_serial ON dbo.qvm_report_line (serial, line_ms);
GO

-- The unit lines with their fields as columns, for the manufacturing
-- systems. Fields a report does not carry are NULL. Since this version:
-- reason (why the MES rejected the unit: result 'rejected') and mes_check
-- ('unchecked' when the unit was written while the MES did not answer).
CREATE OR ALTER VIEW dbo.qvm_unit AS
SELECT
    TRY_CONVERT(datetimeoffset(3), JSON_VALUE(p.j, '$.time'))      AS unit_time,
    COALESCE(JSON_VALUE(p.j, '$.station'), l.station)            AS station,
    JSON_VALUE(p.j, '$.operator')                                 AS operator_name,
    JSON_VALUE(p.j, '$.order')                                    AS work_order,
    JSON_VALUE(p.j, '$.serial')                                   AS serial,
    JSON_VALUE(p.j, '$.index')                                    AS device_index,
    JSON_VALUE(p.j, '$.old_version')                              AS old_version,
    JSON_VALUE(p.j, '$.new_version')                              AS new_version,
    JSON_VALUE(p.j, '$.result')                                   AS result,
    JSON_VALUE(p.j, '$.failure')                                  AS failure_kind,
    JSON_VALUE(p.j, '$.detail')                                   AS detail,
    JSON_VALUE(p.j, '$.message')                                  AS message,
    JSON_VALUE(p.j, '$.image_sha256')                             AS image_sha256,
    CASE WHEN JSON_VALUE(p.j, '$.recovered') = N'true' THEN 1 ELSE 0 END AS recovered,
    l.report_id,
    l.seq,
    l.line_sha256,
    l.received,
    JSON_VALUE(p.j, '$.reason')                                   AS reason,
    JSON_VALUE(p.j, '$.mes')                                      AS mes_check
FROM dbo.qvm_report_line AS l
CROSS APPLY (SELECT CASE WHEN ISJSON(l.line_text) > 0 THEN l.line_text END AS j) AS p
WHERE l.line_type = N'unit';
GO
