-- Upgrades a database made by an earlier schema.sql: the record of the messages the workers
-- have carried out, so that a message delivered or replayed again runs only once. Safe to run
-- more than once.

CREATE TABLE IF NOT EXISTS vtcfg.message_done (
  run_id CHAR(16) CHARACTER SET ascii NOT NULL,
  queue VARCHAR(32) CHARACTER SET ascii NOT NULL,
  first_seq BIGINT UNSIGNED NOT NULL,
  last_seq BIGINT UNSIGNED NOT NULL,
  done_at TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (run_id, queue, first_seq),
  KEY message_done_at (done_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vtcfg.schema_upgrades (
  name VARCHAR(64) NOT NULL,
  applied DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES ('upgrade-message-done');
