-- Upgrades a database made by an earlier schema.sql: the status tables' purge index on
-- `deleted` alone. The purge's overdue test cannot use next_check in the index, and keeping it
-- there moved the index entry on every status update. Safe to run more than once.

ALTER TABLE vantor4.host_status DROP KEY IF EXISTS host_status_purge, ADD KEY host_status_purge (deleted);
ALTER TABLE vantor4.service_status DROP KEY IF EXISTS service_status_purge, ADD KEY service_status_purge (deleted);
