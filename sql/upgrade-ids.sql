-- Upgrades a database made by an earlier schema.sql: the registry of host and service ids
-- that the module keeps for objects whose configuration gives none. Safe to run more than once.

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

CREATE TABLE IF NOT EXISTS vtcfg.schema_upgrades (
  name VARCHAR(64) NOT NULL,
  applied DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES ('upgrade-ids');
