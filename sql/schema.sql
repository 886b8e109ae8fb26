-- Creates the status (vantor4), configuration (vtcfg) and performance-data (vtperf) schemas; safe to run again on a live server.
--
-- Everything here is additive: databases and tables are only created when missing and the
-- stored procedures are replaced, so loading this file on an installed server keeps its data.
-- Tables written by positional INSERT or REPLACE (no column list) must keep exactly the
-- columns below in exactly this order; add columns only to tables written with column lists.
-- Columns other than keys and flags accept NULL: the writers put the bare word NULL for an
-- absent text or time, and other tools insert partial rows.

CREATE DATABASE IF NOT EXISTS vantor4 CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
CREATE DATABASE IF NOT EXISTS vtcfg CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
CREATE DATABASE IF NOT EXISTS vtperf CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;

-- ---------------------------------------------------------------------------------------
-- vantor4: live status, history, comments, downtimes, flapping, notifications, commands
-- ---------------------------------------------------------------------------------------

-- One row (id 0) describing the running engine; rewritten at every process event, so
-- entry_time tells a reader whether the engine is alive.
CREATE TABLE IF NOT EXISTS vantor4.program_status (
  id INT NOT NULL,
  entry_time DATETIME NULL,
  program_state INT NULL,
  version VARCHAR(64) NULL,
  nagios_pid INT NULL,
  daemon_mode INT NULL,
  program_start DATETIME NULL,
  enable_notifications INT NULL,
  active_service_checks_enabled INT NULL,
  passive_service_checks_enabled INT NULL,
  active_host_checks_enabled INT NULL,
  passive_host_checks_enabled INT NULL,
  enable_event_handlers INT NULL,
  obsess_over_services INT NULL,
  obsess_over_hosts INT NULL,
  check_service_freshness INT NULL,
  check_host_freshness INT NULL,
  enable_flap_detection INT NULL,
  enable_failure_prediction INT NULL,
  process_performance_data INT NULL,
  global_host_event_handler TEXT NULL,
  global_service_event_handler TEXT NULL,
  objects_loaded INT NOT NULL DEFAULT 0,
  -- The time of the event the row shows, in microseconds: a statement of an older event
  -- leaves the row as it is.
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Current status of every host; the status writer upserts on host_id. Rows of removed hosts
-- are flagged `deleted` by the configuration side and purged once their checks are long overdue.
-- The purge finds them by `deleted` alone (its overdue test is an expression no index serves),
-- so the index leaves out next_check, which every status update changes.
CREATE TABLE IF NOT EXISTS vantor4.host_status (
  host_id INT NOT NULL,
  host_name TEXT NULL,
  problem_has_been_acknowledged INT NULL,
  acknowledgement_type INT NULL,
  check_type INT NULL,
  current_state INT NULL,
  last_state INT NULL,
  last_hard_state INT NULL,
  plugin_output MEDIUMTEXT NULL,
  long_plugin_output MEDIUMTEXT NULL,
  perf_data MEDIUMTEXT NULL,
  state_type INT NULL,
  current_attempt INT NULL,
  latency DOUBLE NULL,
  execution_time DOUBLE NULL,
  notifications_enabled INT NULL,
  next_check DATETIME NULL,
  last_check DATETIME NULL,
  last_state_change DATETIME NULL,
  scheduled_downtime_depth INT NULL,
  is_flapping INT NULL,
  total_services INT NULL,
  modified_attributes BIGINT UNSIGNED NULL,
  check_command TEXT NULL,
  check_period TEXT NULL,
  notification_period TEXT NULL,
  check_interval DOUBLE NULL,
  retry_interval DOUBLE NULL,
  event_handler TEXT NULL,
  max_attempts INT NULL,
  active_checks_enabled INT NULL,
  passive_checks_enabled INT NULL,
  event_handler_enabled INT NULL,
  flap_detection_enabled INT NULL,
  process_performance_data INT NULL,
  obsess_over_host INT NULL,
  notes_url TEXT NULL,
  action_url TEXT NULL,
  icon_image TEXT NULL,
  export_date DATETIME NULL,
  display_status INT NULL,
  deleted TINYINT NOT NULL DEFAULT 0,
  -- The time of the event the row shows, in microseconds: a statement of an older event
  -- leaves the row as it is.
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0,
  PRIMARY KEY (host_id),
  KEY host_status_purge (deleted)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Current status of every service, upserted on (host_id, service_id); the metric registry
-- joins it for host names and service descriptions.
CREATE TABLE IF NOT EXISTS vantor4.service_status (
  host_id INT NOT NULL,
  service_id INT NOT NULL,
  host_name TEXT NULL,
  service_description TEXT NULL,
  problem_has_been_acknowledged INT NULL,
  acknowledgement_type INT NULL,
  check_type INT NULL,
  current_state INT NULL,
  last_state INT NULL,
  last_hard_state INT NULL,
  plugin_output MEDIUMTEXT NULL,
  long_plugin_output MEDIUMTEXT NULL,
  perf_data MEDIUMTEXT NULL,
  state_type INT NULL,
  next_check DATETIME NULL,
  last_check DATETIME NULL,
  current_attempt INT NULL,
  last_notification DATETIME NULL,
  next_notification DATETIME NULL,
  last_state_change DATETIME NULL,
  latency DOUBLE NULL,
  execution_time DOUBLE NULL,
  scheduled_downtime_depth INT NULL,
  is_flapping INT NULL,
  modified_attributes BIGINT UNSIGNED NULL,
  check_command TEXT NULL,
  check_period TEXT NULL,
  notification_period TEXT NULL,
  check_interval DOUBLE NULL,
  retry_interval DOUBLE NULL,
  event_handler TEXT NULL,
  max_attempts INT NULL,
  notifications_enabled INT NULL,
  active_checks_enabled INT NULL,
  passive_checks_enabled INT NULL,
  event_handler_enabled INT NULL,
  flap_detection_enabled INT NULL,
  obsess_over_service INT NULL,
  notes_url TEXT NULL,
  action_url TEXT NULL,
  icon_image TEXT NULL,
  host_icon_image TEXT NULL,
  export_date DATETIME NULL,
  display_status INT NULL,
  deleted TINYINT NOT NULL DEFAULT 0,
  -- The time of the event the row shows, in microseconds: a statement of an older event
  -- leaves the row as it is.
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0,
  PRIMARY KEY (host_id, service_id),
  KEY service_status_purge (deleted)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Templates of the per-host history tables host_state_change_<host id> and
-- service_state_change_<host id> (see vt_create_host_tables below); they stay empty.
-- The latest row of an object is the one with the largest entry_time_ms, hence the indexes.
CREATE TABLE IF NOT EXISTS vantor4.host_state_change (
  entry_time DATETIME NULL,
  current_state INT NULL,
  state_type INT NULL,
  current_attempt INT NULL,
  plugin_output MEDIUMTEXT NULL,
  initial_log_state TINYINT NOT NULL DEFAULT 0,
  display_status INT NULL,
  sla_breach_end DATETIME NULL,
  `comment` TEXT NULL,
  long_plugin_output MEDIUMTEXT NULL,
  entry_time_ms BIGINT UNSIGNED NOT NULL DEFAULT 0,
  KEY host_state_change_time (entry_time_ms)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vantor4.service_state_change (
  entry_time DATETIME NULL,
  service_id INT NULL,
  current_state INT NULL,
  state_type INT NULL,
  current_attempt INT NULL,
  plugin_output MEDIUMTEXT NULL,
  initial_log_state TINYINT NOT NULL DEFAULT 0,
  display_status INT NULL,
  sla_breach_end DATETIME NULL,
  `comment` TEXT NULL,
  long_plugin_output MEDIUMTEXT NULL,
  entry_time_ms BIGINT UNSIGNED NOT NULL DEFAULT 0,
  KEY service_state_change_service_time (service_id, entry_time_ms),
  KEY service_state_change_time (entry_time_ms)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Engine comments, written positionally: every row is a current comment. Deleted by
-- comment_id, which the engine keeps unique, so a repeated add of the same comment is refused
-- as a duplicate. An add goes in only when no deletion of that comment as new as the add is
-- marked in <kind>_comment_deleted, so a delete that reaches the server first still wins.
CREATE TABLE IF NOT EXISTS vantor4.host_comment (
  host_id INT NULL,
  entry_time DATETIME NULL,
  contact_id INT NULL,
  comment_data TEXT NULL,
  persistent INT NULL,
  `source` INT NULL,
  entry_type INT NULL,
  expires INT NULL,
  expire_time DATETIME NULL,
  comment_id BIGINT UNSIGNED NOT NULL,
  PRIMARY KEY (comment_id),
  KEY host_comment_host (host_id),
  KEY host_comment_expiry (expire_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vantor4.service_comment (
  host_id INT NULL,
  service_id INT NULL,
  entry_time DATETIME NULL,
  contact_id INT NULL,
  comment_data TEXT NULL,
  persistent INT NULL,
  `source` INT NULL,
  entry_type INT NULL,
  expires INT NULL,
  expire_time DATETIME NULL,
  comment_id BIGINT UNSIGNED NOT NULL,
  PRIMARY KEY (comment_id),
  KEY service_comment_service (host_id, service_id),
  KEY service_comment_expiry (expire_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Comments deleted, by comment_id: the time of the newest deletion (event_usec, microseconds;
-- deleted_time, its second, for the retention). Written only by vt_delete_comment.
CREATE TABLE IF NOT EXISTS vantor4.host_comment_deleted (
  comment_id BIGINT UNSIGNED NOT NULL,
  event_usec BIGINT UNSIGNED NOT NULL,
  deleted_time DATETIME NOT NULL,
  PRIMARY KEY (comment_id),
  KEY host_comment_deleted_time (deleted_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vantor4.service_comment_deleted (
  comment_id BIGINT UNSIGNED NOT NULL,
  event_usec BIGINT UNSIGNED NOT NULL,
  deleted_time DATETIME NOT NULL,
  PRIMARY KEY (comment_id),
  KEY service_comment_deleted_time (deleted_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Scheduled downtimes, one row each, showing its latest event (type = broker event number
-- 1100 added, 1102 loaded, 1103 started, 1104 stopped: ended). event_usec is that event's time
-- in microseconds: a statement of an older event leaves the row as it is, so that an add or
-- start that reaches the server after the stop does not bring the downtime back.
CREATE TABLE IF NOT EXISTS vantor4.host_downtime (
  `type` INT NULL,
  host_id INT NOT NULL,
  entry_time DATETIME NULL,
  contact_id INT NULL,
  comment_data TEXT NULL,
  start_time DATETIME NULL,
  end_time DATETIME NULL,
  `fixed` INT NULL,
  duration BIGINT UNSIGNED NULL,
  triggered_by BIGINT UNSIGNED NULL,
  downtime_id BIGINT UNSIGNED NOT NULL,
  attr INT NULL,
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0,
  PRIMARY KEY (downtime_id, host_id),
  KEY host_downtime_host (host_id),
  KEY host_downtime_end (end_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vantor4.service_downtime (
  `type` INT NULL,
  host_id INT NOT NULL,
  service_id INT NOT NULL,
  entry_time DATETIME NULL,
  contact_id INT NULL,
  comment_data TEXT NULL,
  start_time DATETIME NULL,
  end_time DATETIME NULL,
  `fixed` INT NULL,
  duration BIGINT UNSIGNED NULL,
  triggered_by BIGINT UNSIGNED NULL,
  downtime_id BIGINT UNSIGNED NOT NULL,
  attr INT NULL,
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0,
  PRIMARY KEY (downtime_id, host_id, service_id),
  KEY service_downtime_service (host_id, service_id),
  KEY service_downtime_end (end_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Starts and stops of flapping (type 1000 / 1001), written positionally.
CREATE TABLE IF NOT EXISTS vantor4.host_flapping (
  entry_time DATETIME NULL,
  `type` INT NULL,
  host_id INT NULL,
  comment_id BIGINT UNSIGNED NULL,
  percent_change DOUBLE NULL,
  high_threshold DOUBLE NULL,
  low_threshold DOUBLE NULL,
  KEY host_flapping_host_time (host_id, entry_time),
  KEY host_flapping_time (entry_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vantor4.service_flapping (
  entry_time DATETIME NULL,
  `type` INT NULL,
  host_id INT NULL,
  service_id INT NULL,
  comment_id BIGINT UNSIGNED NULL,
  percent_change DOUBLE NULL,
  high_threshold DOUBLE NULL,
  low_threshold DOUBLE NULL,
  KEY service_flapping_service_time (host_id, service_id, entry_time),
  KEY service_flapping_time (entry_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One row per contact notification sent, written positionally. Contact and command ids are
-- -2 when the name was not found in the configuration lists.
CREATE TABLE IF NOT EXISTS vantor4.host_notification (
  entry_time DATETIME NULL,
  host_id INT NULL,
  contact_id INT NULL,
  command_id INT NULL,
  command_args TEXT NULL,
  reason_type INT NULL,
  state INT NULL,
  output MEDIUMTEXT NULL,
  ack_contact_id INT NULL,
  ack_data TEXT NULL,
  escalated INT NULL,
  start_time DATETIME NULL,
  end_time DATETIME NULL,
  KEY host_notification_host_time (host_id, entry_time),
  KEY host_notification_time (entry_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vantor4.service_notification (
  entry_time DATETIME NULL,
  host_id INT NULL,
  service_id INT NULL,
  contact_id INT NULL,
  command_id INT NULL,
  command_args TEXT NULL,
  reason_type INT NULL,
  state INT NULL,
  output MEDIUMTEXT NULL,
  ack_contact_id INT NULL,
  ack_data TEXT NULL,
  escalated INT NULL,
  start_time DATETIME NULL,
  end_time DATETIME NULL,
  KEY service_notification_service_time (host_id, service_id, entry_time),
  KEY service_notification_time (entry_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Engine commands queued by other components; the relay reads id (1st column) and command
-- (3rd column), writes the command into the engine's pipe and deletes the row.
CREATE TABLE IF NOT EXISTS vantor4.vantor_cmd (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  entry_time DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  command TEXT NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------------------
-- vtcfg: configuration read by the module at load and by the daemon at start
-- ---------------------------------------------------------------------------------------

CREATE TABLE IF NOT EXISTS vtcfg.nagios_contacts (
  contact_id INT NOT NULL AUTO_INCREMENT,
  contact_name VARCHAR(255) NULL,
  alias VARCHAR(255) NULL,
  PRIMARY KEY (contact_id),
  KEY nagios_contacts_name (contact_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vtcfg.nagios_commands (
  command_id INT NOT NULL AUTO_INCREMENT,
  command_name VARCHAR(255) NULL,
  PRIMARY KEY (command_id),
  KEY nagios_commands_name (command_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vtcfg.nagios_servicegroups (
  servicegroup_id INT NOT NULL AUTO_INCREMENT,
  servicegroup_name VARCHAR(255) NULL,
  PRIMARY KEY (servicegroup_id),
  KEY nagios_servicegroups_name (servicegroup_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vtcfg.nagios_hostgroups (
  hostgroup_id INT NOT NULL AUTO_INCREMENT,
  hostgroup_name VARCHAR(255) NULL,
  PRIMARY KEY (hostgroup_id),
  KEY nagios_hostgroups_name (hostgroup_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Hosts with their template; read by optional tooling only.
CREATE TABLE IF NOT EXISTS vtcfg.nagios_hosts (
  host_id INT NOT NULL AUTO_INCREMENT,
  host_name VARCHAR(255) NULL,
  use_template_id INT NULL,
  PRIMARY KEY (host_id),
  KEY nagios_hosts_name (host_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Registry of the ids of hosts and services that the engine's objects do not carry
-- themselves. The module reads it at load, records every host and service it has not seen
-- (with the id its configuration gives, or a new one) and hands the ids to the engine's
-- objects. Names are compared byte for byte, as the engine compares them. A row is never
-- deleted, so an id is never given again: when a configured id takes over a name or an id,
-- the row it displaces keeps its id with no name (the name it had is kept in former_name).
-- Service ids are unique under their host's id, as in the status and history tables.
CREATE TABLE IF NOT EXISTS vtcfg.host_registry (
  host_id INT NOT NULL AUTO_INCREMENT,
  host_name VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NULL,
  former_name VARCHAR(255) NULL,
  registered DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (host_id),
  UNIQUE KEY host_registry_name (host_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS vtcfg.service_registry (
  host_id INT NOT NULL,
  service_id INT NOT NULL,
  host_name VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NULL,
  service_description VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NULL,
  former_name VARCHAR(511) NULL,
  registered DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (host_id, service_id),
  UNIQUE KEY service_registry_name (host_name, service_description)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Web front-end settings; only the first row is read. The two lists are comma-separated
-- contact names that may see every host or every service.
CREATE TABLE IF NOT EXISTS vtcfg.nagios_cgi (
  id INT NOT NULL AUTO_INCREMENT,
  authorized_for_all_hosts TEXT NULL,
  authorized_for_all_services TEXT NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Job servers the daemon's workers connect to. The daemon reads the host name from the
-- second column and the port from the third with SELECT *, so their places must stay;
-- a NULL port means the job-server port the daemon was built with.
CREATE TABLE IF NOT EXISTS vtcfg.job_servers (
  id INT NOT NULL AUTO_INCREMENT,
  host VARCHAR(255) NULL,
  port INT NULL DEFAULT NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
ALTER TABLE vtcfg.job_servers MODIFY port INT NULL DEFAULT NULL;

-- Registry of performance-data metrics. metric_id is assigned here; the unique key turns a
-- second registration of the same metric (by another worker, or with a changed unit or
-- range) into an update. Labels are compared byte for byte (nopad_bin), like the workers'
-- in-memory registry: "Load" and "load", or "a" and "a ", are different metrics.
CREATE TABLE IF NOT EXISTS vtcfg.service_metric (
  metric_id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  host_id INT NOT NULL,
  service_id INT NOT NULL,
  metric VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NOT NULL,
  unit VARCHAR(64) NULL,
  value_min DOUBLE NULL,
  value_max DOUBLE NULL,
  PRIMARY KEY (metric_id),
  UNIQUE KEY service_metric_name (host_id, service_id, metric)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- What the workers have carried out, by the identity the module gives each message (the
-- random id of the module's run, the queue, a range of sequence numbers), written in the same
-- transaction as the statements or values: a message delivered or replayed again is skipped.
-- Rows older than message_window_days are deleted by the status workers.
CREATE TABLE IF NOT EXISTS vtcfg.message_done (
  run_id CHAR(16) CHARACTER SET ascii NOT NULL,
  queue VARCHAR(32) CHARACTER SET ascii NOT NULL,
  first_seq BIGINT UNSIGNED NOT NULL,
  last_seq BIGINT UNSIGNED NOT NULL,
  done_at TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (run_id, queue, first_seq),
  KEY message_done_at (done_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The upgrade scripts of sql/ applied to this database, by name (the script's file name
-- without .sql). A fresh schema is already up to date, so it records every script here; each
-- script records itself when it has run. The check command compares this list with the
-- scripts installed beside the schema.
CREATE TABLE IF NOT EXISTS vtcfg.schema_upgrades (
  name VARCHAR(64) NOT NULL,
  applied DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES
  ('upgrade-status-purge-index'),
  ('upgrade-ids'),
  ('upgrade-retention-index'),
  ('upgrade-status-event-order'),
  ('upgrade-message-done'),
  ('upgrade-comment-downtime-order'),
  ('upgrade-record-at-commit');

-- ---------------------------------------------------------------------------------------
-- vtperf: performance values, one table per host
-- ---------------------------------------------------------------------------------------

-- Template of service_perf_<host id>, which the workers create from it on first use. The
-- index on entry_time lets the retention delete expired values without reading those that stay;
-- values arrive in time order, so its entries are appended at its end.
CREATE TABLE IF NOT EXISTS vtperf.service_perf (
  entry_time DATETIME NULL,
  service_id INT NULL,
  metric_id BIGINT UNSIGNED NULL,
  perf_value DOUBLE NULL,
  warning DOUBLE NULL,
  critical DOUBLE NULL,
  baseline DOUBLE NULL,
  lower_limit DOUBLE NULL,
  upper_limit DOUBLE NULL,
  KEY service_perf_metric_time (service_id, metric_id, entry_time),
  KEY service_perf_time (entry_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------------------
-- Per-host tables. The writers address them by host id and never create the history
-- tables themselves, so a new host needs vt_create_host_tables before its first event.
-- SQL SECURITY INVOKER: they run with the caller's rights and need no definer account.
-- ---------------------------------------------------------------------------------------

DELIMITER //

CREATE OR REPLACE PROCEDURE vantor4.vt_create_host_tables(IN p_host_id INT)
  SQL SECURITY INVOKER
  COMMENT 'Creates host_state_change_<id> and service_state_change_<id> if missing'
BEGIN
  -- A negative or missing id would make an invalid or misleading table name.
  IF p_host_id IS NULL OR p_host_id < 0 THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'vt_create_host_tables: host id must be 0 or greater';
  END IF;
  EXECUTE IMMEDIATE CONCAT('CREATE TABLE IF NOT EXISTS vantor4.`host_state_change_', p_host_id,
                           '` LIKE vantor4.host_state_change');
  EXECUTE IMMEDIATE CONCAT('CREATE TABLE IF NOT EXISTS vantor4.`service_state_change_', p_host_id,
                           '` LIKE vantor4.service_state_change');
END //

CREATE OR REPLACE PROCEDURE vtperf.vt_create_perf_table(IN p_host_id INT)
  SQL SECURITY INVOKER
  COMMENT 'Creates service_perf_<id> if missing'
BEGIN
  IF p_host_id IS NULL OR p_host_id < 0 THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'vt_create_perf_table: host id must be 0 or greater';
  END IF;
  EXECUTE IMMEDIATE CONCAT('CREATE TABLE IF NOT EXISTS vtperf.`service_perf_', p_host_id,
                           '` LIKE vtperf.service_perf');
END //

-- The end of a worker's batch whose messages carry identities: records them as carried out
-- and commits the caller's transaction in one round trip. When any of them is recorded already
-- it fails with 1062 and commits nothing (the caller rolls back and drops what was carried out
-- before). The look-up locks what it reads, so two workers holding copies of one batch cannot
-- both commit; standing last, its locks live only as long as the commit.
CREATE OR REPLACE PROCEDURE vantor4.vt_commit_recorded(IN p_run CHAR(16) CHARACTER SET ascii,
                                                       IN p_queue VARCHAR(32) CHARACTER SET ascii,
                                                       IN p_first BIGINT UNSIGNED, IN p_last BIGINT UNSIGNED,
                                                       IN p_span BIGINT UNSIGNED)
  SQL SECURITY INVOKER
  COMMENT 'Records messages p_first..p_last as carried out and commits, or fails with 1062'
BEGIN
  DECLARE done INT DEFAULT 0;
  IF @@in_transaction = 0 THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'vt_commit_recorded: no transaction to commit';
  END IF;
  -- A record row holds at most p_span numbers: one that overlaps starts at most that far below.
  SELECT COUNT(*) INTO done FROM vtcfg.message_done
    WHERE run_id = p_run AND queue = p_queue AND last_seq >= p_first
      AND first_seq BETWEEN IF(p_first >= p_span, p_first - p_span, 0) AND p_last
    LOCK IN SHARE MODE;
  IF done > 0 THEN
    SIGNAL SQLSTATE '23000' SET MESSAGE_TEXT = 'messages carried out before', MYSQL_ERRNO = 1062;
  END IF;
  INSERT INTO vtcfg.message_done (run_id, queue, first_seq, last_seq) VALUES (p_run, p_queue, p_first, p_last);
  COMMIT;
END //

-- The deletion of a comment (not a per-host routine; it needs the same DELIMITER block).
CREATE OR REPLACE PROCEDURE vantor4.vt_delete_comment(IN p_service INT, IN p_comment_id BIGINT UNSIGNED,
                                                      IN p_event_usec BIGINT UNSIGNED)
  SQL SECURITY INVOKER
  COMMENT 'Deletes a comment and marks it deleted as of p_event_usec'
BEGIN
  -- Mark and delete commit together: a transaction of the caller's, else one of its own.
  DECLARE own_tx INT DEFAULT @@in_transaction = 0;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    IF own_tx THEN
      ROLLBACK;
    END IF;
    RESIGNAL;
  END;
  IF own_tx THEN
    START TRANSACTION;
  END IF;
  -- The mark first: an add running at the same time either waits for it and sees it, or has
  -- put its row in before, which the DELETE then takes away.
  IF p_service THEN
    INSERT INTO vantor4.service_comment_deleted (comment_id, event_usec, deleted_time)
      VALUES (p_comment_id, p_event_usec, FROM_UNIXTIME(p_event_usec DIV 1000000))
      ON DUPLICATE KEY UPDATE deleted_time = IF(event_usec < VALUES(event_usec), VALUES(deleted_time), deleted_time),
                              event_usec = GREATEST(event_usec, VALUES(event_usec));
    DELETE FROM vantor4.service_comment WHERE comment_id = p_comment_id;
  ELSE
    INSERT INTO vantor4.host_comment_deleted (comment_id, event_usec, deleted_time)
      VALUES (p_comment_id, p_event_usec, FROM_UNIXTIME(p_event_usec DIV 1000000))
      ON DUPLICATE KEY UPDATE deleted_time = IF(event_usec < VALUES(event_usec), VALUES(deleted_time), deleted_time),
                              event_usec = GREATEST(event_usec, VALUES(event_usec));
    DELETE FROM vantor4.host_comment WHERE comment_id = p_comment_id;
  END IF;
  IF own_tx THEN
    COMMIT;
  END IF;
END //

DELIMITER ;
