-- Upgrades a database made by an earlier schema.sql: comments and downtimes no longer depend
-- on the order in which their statements reach the server. A deleted comment leaves a mark
-- (host_comment_deleted, service_comment_deleted) that an add of it reaching the server later
-- does not undo, and a downtime row keeps the time of the event it shows (event_usec,
-- microseconds), so that a late add does not bring back a downtime that has ended. Rows made
-- before have 0 and take the next event. Safe to run more than once.

ALTER TABLE vantor4.host_downtime ADD COLUMN IF NOT EXISTS
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0;
ALTER TABLE vantor4.service_downtime ADD COLUMN IF NOT EXISTS
  event_usec BIGINT UNSIGNED NOT NULL DEFAULT 0;

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

DELIMITER //

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

CREATE TABLE IF NOT EXISTS vtcfg.schema_upgrades (
  name VARCHAR(64) NOT NULL,
  applied DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES ('upgrade-comment-downtime-order');
