-- R846-QVM2K station reports in PostgreSQL: brings a database made by
-- schema-postgresql.sql of this or any older version to this version, in
-- place, keeping every row. Run it after schema-postgresql.sql on a new
-- database, and again after every upgrade of the stations; a second run
-- changes nothing. PostgreSQL 10 or newer (the figures' columns are filled
-- by a trigger, not generated columns, which would need 12). As the owner
-- of the schema:
--   psql -d DATABASE -f upgrade-postgresql.sql
-- Columns are only ever added at the end of a table or a view (what CREATE
-- OR REPLACE VIEW allows), so grants, the stations' INSERT and the queries
-- of other systems stay valid.

SET client_min_messages = warning;

-- What the line's figures (qvm_cli report --database) read of each line,
-- taken from line_text once, when the row goes in, by the trigger below;
-- the same reading as the report's own reader. NULL where the line does
-- not say it; every one NULL when line_text is not JSON PostgreSQL takes
-- (json_ok 0), which never stops the insert.
ALTER TABLE qvm_report_line
    ADD COLUMN IF NOT EXISTS json_ok    smallint,     -- 1: line_text is JSON, 0: not (NULL: not read yet)
    ADD COLUMN IF NOT EXISTS line_kind  varchar(8),   -- start, unit, run or halt as the figures count it
    ADD COLUMN IF NOT EXISTS line_ms    bigint,       -- "time", UTC ms since 1970 (NULL: not such a time)
    ADD COLUMN IF NOT EXISTS run_event  varchar(8),   -- run: open, stop or clock
    ADD COLUMN IF NOT EXISTS utc_offset text,         -- run: the station computer's offset ("+01:00")
    ADD COLUMN IF NOT EXISTS was_ms     bigint,       -- run clock: "was", UTC ms
    ADD COLUMN IF NOT EXISTS result     varchar(16),  -- unit: updated, current, failed, interrupted, rejected
    ADD COLUMN IF NOT EXISTS serial     bigint,       -- unit: a whole number "serial"
    ADD COLUMN IF NOT EXISTS failure    varchar(16),  -- failed unit: its kind ("failure", else from "detail")
    ADD COLUMN IF NOT EXISTS work_order text,         -- "order" (NULL: the line names none)
    ADD COLUMN IF NOT EXISTS recovered  smallint;     -- unit: 1 when "recovered": true, else 0

-- "YYYY-MM-DDTHH:MM:SS[.mmm]Z" as UTC ms (any day 1..31 of any month, a
-- leap second taken), NULL for any other text: as the stations read times.
CREATE OR REPLACE FUNCTION qvm_utc_ms(t text) RETURNS bigint
LANGUAGE plpgsql IMMUTABLE AS $fn$
DECLARE
    y int; mo int; d int; h int; mi int; s int; ms int := 0;
    yy int; era int; yoe int; doy int; doe int;
BEGIN
    IF t IS NULL OR t !~ '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]{3})?Z$' THEN
        RETURN NULL;
    END IF;
    y := substr(t, 1, 4)::int; mo := substr(t, 6, 2)::int; d := substr(t, 9, 2)::int;
    h := substr(t, 12, 2)::int; mi := substr(t, 15, 2)::int; s := substr(t, 18, 2)::int;
    IF length(t) = 24 THEN ms := substr(t, 21, 3)::int; END IF;
    IF mo < 1 OR mo > 12 OR d < 1 OR d > 31 OR h > 23 OR mi > 59 OR s > 60 THEN
        RETURN NULL;
    END IF;
    -- Days from the civil date, years beginning in March (integer division
    -- truncates, as the stations' own arithmetic does).
    yy := y - CASE WHEN mo <= 2 THEN 1 ELSE 0 END;
    era := (CASE WHEN yy >= 0 THEN yy ELSE yy - 399 END) / 400;
    yoe := yy - era * 400;
    doy := (153 * (mo + CASE WHEN mo > 2 THEN -3 ELSE 9 END) + 2) / 5 + d - 1;
    doe := yoe * 365 + yoe / 4 - yoe / 100 + doy;
    RETURN (((era::bigint * 146097 + doe - 719468) * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
END $fn$;

-- The columns above of NEW, from its line_text. A line that is not JSON
-- PostgreSQL takes (it refuses \u0000, which a report line may hold) is
-- kept as it is, its columns NULL: an insert never fails here.
CREATE OR REPLACE FUNCTION qvm_report_line_read() RETURNS trigger
LANGUAGE plpgsql AS $fn$
DECLARE
    j jsonb;
    word text;
    detail numeric;
BEGIN
    NEW.json_ok := 0;
    NEW.line_kind := NULL; NEW.line_ms := NULL; NEW.run_event := NULL; NEW.utc_offset := NULL;
    NEW.was_ms := NULL; NEW.result := NULL; NEW.serial := NULL; NEW.failure := NULL;
    NEW.work_order := NULL; NEW.recovered := NULL;
    BEGIN
        j := NEW.line_text::jsonb;
    EXCEPTION WHEN others THEN
        RETURN NEW;
    END;
    IF jsonb_typeof(j) <> 'object' THEN
        RETURN NEW;
    END IF;
    NEW.json_ok := 1;
    -- A member that is not a string reads as none (->> would give its text).
    IF jsonb_typeof(j -> 'order') = 'string' THEN NEW.work_order := j ->> 'order'; END IF;
    IF jsonb_typeof(j -> 'time') = 'string' THEN NEW.line_ms := qvm_utc_ms(j ->> 'time'); END IF;
    word := CASE WHEN jsonb_typeof(j -> 'type') = 'string' THEN j ->> 'type' END;
    IF word IN ('start', 'halt') THEN
        NEW.line_kind := word;
    ELSIF word = 'run' THEN
        IF jsonb_typeof(j -> 'event') = 'string' AND j ->> 'event' IN ('open', 'stop', 'clock') THEN
            NEW.line_kind := 'run';
            NEW.run_event := j ->> 'event';
            IF jsonb_typeof(j -> 'utc_offset') = 'string' AND j ->> 'utc_offset' <> '' THEN
                NEW.utc_offset := j ->> 'utc_offset';
            END IF;
            IF NEW.run_event = 'clock' AND jsonb_typeof(j -> 'was') = 'string' THEN
                NEW.was_ms := qvm_utc_ms(j ->> 'was');
            END IF;
        END IF;
    ELSIF word = 'unit' AND jsonb_typeof(j -> 'result') = 'string' AND
          j ->> 'result' IN ('updated', 'current', 'failed', 'interrupted', 'rejected') THEN
        NEW.line_kind := 'unit';
        NEW.result := j ->> 'result';
        NEW.recovered := CASE WHEN j -> 'recovered' = 'true'::jsonb THEN 1 ELSE 0 END;
        IF jsonb_typeof(j -> 'serial') = 'number' AND j ->> 'serial' ~ '^-?[0-9]{1,19}$' AND
           (j ->> 'serial')::numeric BETWEEN -9223372036854775808 AND 9223372036854775807 THEN
            NEW.serial := (j ->> 'serial')::bigint;
        END IF;
        IF jsonb_typeof(j -> 'failure') = 'string' AND j ->> 'failure' <> '' THEN
            word := j ->> 'failure';
            NEW.failure := CASE WHEN word IN ('refused', 'no_answer', 'deadline', 'unplugged',
                                              'unverified', 'other') THEN word ELSE 'other' END;
        ELSIF NEW.result = 'failed' THEN
            -- Lines written before lines named their kind: from the code.
            detail := CASE WHEN jsonb_typeof(j -> 'detail') = 'number' AND
                                j ->> 'detail' ~ '^[0-9]{1,20}$'
                           THEN (j ->> 'detail')::numeric ELSE 0 END;
            NEW.failure := CASE WHEN detail = 4294967294 THEN 'no_answer'
                                WHEN detail = 4294967293 THEN 'unverified'
                                WHEN detail = 4294967291 THEN 'deadline'
                                WHEN detail IN (0, 4294967295, 4294967292, 4294967290) THEN 'other'
                                WHEN detail > 18446744073709551615 THEN 'other'
                                ELSE 'refused' END;
        END IF;
    END IF;
    RETURN NEW;
END $fn$;

DROP TRIGGER IF EXISTS qvm_report_line_read ON qvm_report_line;
CREATE TRIGGER qvm_report_line_read BEFORE INSERT OR UPDATE OF line_text ON qvm_report_line
    FOR EACH ROW EXECUTE PROCEDURE qvm_report_line_read();

-- Rows held from before: read once (json_ok is set for every row read).
UPDATE qvm_report_line SET line_text = line_text WHERE json_ok IS NULL;

-- A serial's lines in time order (first passes, the serials not at the
-- image); a report's lines in order is qvm_report_line_report.
CREATE INDEX IF NOT EXISTS qvm_report_line_serial ON qvm_report_line (serial, line_ms)
    WHERE serial IS NOT NULL;

-- The unit lines with their fields as columns, for the manufacturing
-- systems. Fields a report does not carry are NULL. Since this version:
-- reason (why the MES rejected the unit: result 'rejected') and mes_check
-- ('unchecked' when the unit was written while the MES did not answer).
CREATE OR REPLACE VIEW qvm_unit AS
SELECT
    -- As the stations read it (a day past the month's end runs on into
    -- the next, as the report's reader counts it, instead of failing the view).
    to_timestamp(l.line_ms / 1000.0)            AS unit_time,
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
-- Only lines PostgreSQL reads as JSON: one that is not leaves its fields NULL
-- instead of failing every query of the view.
CROSS JOIN LATERAL (SELECT CASE WHEN l.json_ok = 1 THEN l.line_text::jsonb END AS j) AS parsed
WHERE l.line_type = 'unit';
