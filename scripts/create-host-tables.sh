#!/usr/bin/env bash
# Creates the per-host history tables of one host (host_state_change_<id>, service_state_change_<id>).
# usage: create-host-tables.sh HOST_ID [mariadb client options...]
# Run it when a host is added: the status writers address these tables by host id and never
# create them. Existing tables are left as they are. Client options (socket, user, password,
# --defaults-file, ...) are handed to the mariadb client unchanged, before the statement.
set -u
usage() { echo "usage: $(basename "$0") HOST_ID [mariadb client options...]" >&2; exit 2; }
[ $# -ge 1 ] || usage
host_id=$1; shift
# Only a plain decimal number may reach the statement and the table names.
[[ "$host_id" =~ ^[0-9]{1,10}$ ]] && [ "$((10#$host_id))" -le 2147483647 ] || {
  echo "$(basename "$0"): host id must be a number from 0 to 2147483647, got '$host_id'" >&2
  exit 2
}
exec mariadb "$@" -e "CALL vantor4.vt_create_host_tables($((10#$host_id)));"
