-- Upgrades a database made by an earlier schema.sql: the status rows keep the time of the event
-- they show (event_usec, microseconds), so that a statement of an older event that reaches the
-- server late leaves a newer row as it is. Rows made before have 0 and take the next event.
-- Safe to run more than once.

ALTER TABLE vantor4.program_status ADD COLUMN IF NOT EXISTS
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0;
ALTER TABLE vantor4.host_status ADD COLUMN IF NOT EXISTS
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0;
ALTER TABLE vantor4.service_status ADD COLUMN IF NOT EXISTS
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0;

CREATE TABLE IF NOT EXISTS vtcfg.schema_upgrades (
  name VARCHAR(64) NOT NULL,
  applied DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES ('upgrade-status-event-order');
