-- The view qvm_unit as the first shipped schema made it, reduced to what
-- CREATE OR REPLACE VIEW must keep: its columns' names, order and types.
-- The starting point of the upgrade test; never follows later versions.
CREATE VIEW qvm_unit AS
SELECT NULL::timestamptz AS unit_time, NULL::text AS station, NULL::text AS operator_name,
       NULL::text AS work_order, NULL::text AS serial, NULL::text AS device_index,
       NULL::text AS old_version, NULL::text AS new_version, NULL::text AS result,
       NULL::text AS failure_kind, NULL::text AS detail, NULL::text AS message,
       NULL::text AS image_sha256, NULL::boolean AS recovered,
       l.report_id, l.seq, l.line_sha256, l.received
FROM qvm_report_line AS l
WHERE l.line_type = 'unit';
