-- R846-QVM2K station reports in Microsoft SQL Server: brings a database
-- made by schema-sqlserver.sql of this or any older version to this
-- version, in place, keeping every row. Run it after schema-sqlserver.sql
-- on a new database, and again after every upgrade of the stations; a
-- second run changes nothing. SQL Server 2016 SP1 or newer (CREATE OR
-- ALTER). As the owner of the schema:
--   sqlcmd -S SERVER -d DATABASE -E -i upgrade-sqlserver.sql
-- Columns are only ever added at the end of a view, so grants and the
-- queries of other systems stay valid.

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
