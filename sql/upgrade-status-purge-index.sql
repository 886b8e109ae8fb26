-- Upgrades a database made by an earlier schema.sql: the status tables' purge index on
-- `deleted` alone. The purge's overdue test cannot use next_check in the index, and keeping it
-- there moved the index entry on every status update. Safe to run more than once.

ALTER TABLE vantor4.host_status DROP KEY IF EXISTS host_status_purge, ADD KEY host_status_purge (deleted);
ALTER TABLE vantor4.service_status DROP KEY IF EXISTS service_status_purge, ADD KEY service_status_purge (deleted);

CREATE TABLE IF NOT EXISTS vtcfg.schema_upgrades (
  name VARCHAR(64) NOT NULL,
  applied DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES ('upgrade-status-purge-index');
