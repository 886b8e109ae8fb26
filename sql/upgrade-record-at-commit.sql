-- Upgrades a database made by an earlier schema.sql: a worker records the messages of a batch
-- as carried out together with its commit, in one round trip (vantor4.vt_commit_recorded),
-- instead of in a statement of its own at the start of the batch. Until this has run the
-- workers record them the earlier way. Safe to run more than once.

DELIMITER //

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

DELIMITER ;

CREATE TABLE IF NOT EXISTS vtcfg.schema_upgrades (
  name VARCHAR(64) NOT NULL,
  applied DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES ('upgrade-record-at-commit');
