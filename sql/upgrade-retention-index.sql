-- Upgrades a database made by an earlier schema.sql: the indexes through which the retention
-- finds expired rows without reading the rows that stay, on the value template, on every
-- host's value table and on the history tables. Safe to run more than once. An index is built
-- online (the writers go on); on large value tables it takes a while and the space of the index.

ALTER TABLE vtperf.service_perf ADD KEY IF NOT EXISTS service_perf_time (entry_time);
ALTER TABLE vantor4.host_notification ADD KEY IF NOT EXISTS host_notification_time (entry_time);
ALTER TABLE vantor4.service_notification ADD KEY IF NOT EXISTS service_notification_time (entry_time);
ALTER TABLE vantor4.host_flapping ADD KEY IF NOT EXISTS host_flapping_time (entry_time);
ALTER TABLE vantor4.service_flapping ADD KEY IF NOT EXISTS service_flapping_time (entry_time);
ALTER TABLE vantor4.host_comment ADD KEY IF NOT EXISTS host_comment_expiry (expire_time);
ALTER TABLE vantor4.service_comment ADD KEY IF NOT EXISTS service_comment_expiry (expire_time);
ALTER TABLE vantor4.host_downtime ADD KEY IF NOT EXISTS host_downtime_end (end_time);
ALTER TABLE vantor4.service_downtime ADD KEY IF NOT EXISTS service_downtime_end (end_time);

DELIMITER //
CREATE OR REPLACE PROCEDURE vtperf.vt_upgrade_retention_index()
  SQL SECURITY INVOKER
BEGIN
  DECLARE done INT DEFAULT 0;
  DECLARE t VARCHAR(64);
  DECLARE tables CURSOR FOR
    SELECT table_name FROM information_schema.tables
     WHERE table_schema = 'vtperf' AND table_type = 'BASE TABLE' AND table_name REGEXP '^service_perf_[0-9]+$'
       AND table_name IN (SELECT c.table_name FROM information_schema.columns c
                           WHERE c.table_schema = 'vtperf' AND c.column_name = 'entry_time');
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET done = 1;
  OPEN tables;
  each_table: LOOP
    FETCH tables INTO t;
    IF done THEN
      LEAVE each_table;
    END IF;
    EXECUTE IMMEDIATE CONCAT('ALTER TABLE vtperf.`', t, '` ADD KEY IF NOT EXISTS service_perf_time (entry_time), ',
                             'ALGORITHM=INPLACE, LOCK=NONE');
  END LOOP;
  CLOSE tables;
END //
DELIMITER ;
CALL vtperf.vt_upgrade_retention_index();
DROP PROCEDURE vtperf.vt_upgrade_retention_index;

CREATE TABLE IF NOT EXISTS vtcfg.schema_upgrades (
  name VARCHAR(64) NOT NULL,
  applied DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES ('upgrade-retention-index');
