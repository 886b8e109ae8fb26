#!/usr/bin/env bash
# Checks the shipped server configuration: the installed mariadbd knows every setting and keeps
# the value written (a misspelt name or an out-of-range value is otherwise reported only in the
# server's error log, or silently clamped); then restarts the build's private server with it
# through the services script's sizing mode, and back with the tests' small settings.
# usage: mariadb_config_test.sh CNF SERVICES_SCRIPT STATE_DIR VANTOR_ROOT DB_PORT GEARMAN_PORT
set -u
cnf=$1 services=$2 state=$3 root=$4 dbport=$5 gmport=$6
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

bytes() {  # a size as the server writes it: 2G -> 2147483648
  local v=$1
  case "$v" in
    *[kK]) echo $(( ${v%?} * 1024 )) ;;
    *[mM]) echo $(( ${v%?} * 1024 * 1024 )) ;;
    *[gG]) echo $(( ${v%?} * 1024 * 1024 * 1024 )) ;;
    *) echo "$v" ;;
  esac
}

# "name value" of each setting of the server's section, named with dashes as the server lists them.
settings=$(awk '/^\[/ { inside = ($0 ~ /^\[(mariadbd|mysqld)\]/); next }
                inside && /^[ \t]*[a-z_]+[ \t]*=/ {
                  sub(/[ \t]*#.*/, ""); split($0, kv, "="); k = kv[1]; v = kv[2]
                  gsub(/[ \t]/, "", k); gsub(/[ \t]/, "", v); gsub(/_/, "-", k); print k, v }' "$cnf")
[ -n "$settings" ] || fail "no settings in a [mariadbd] section of $cnf"

help=$(mariadbd --defaults-file="$cnf" --help --verbose 2>&1)
rc=$?
[ $rc -eq 0 ] || fail "mariadbd --help exited with $rc"
echo "$help" | grep '\[ERROR\]' && fail "the server rejects settings"

# The open-files limit cannot rise above the hard limit the server starts under: where that is
# lower (a container), the server lowers it and the table cache with it, and says so.
hard=$(ulimit -Hn)
files=$(bytes "$(echo "$settings" | awk '$1 == "open-files-limit" { print $2 }')")
while read -r name value; do
  want=$(bytes "$value")
  got=$(echo "$help" | awk -v n="$name" '$1 == n { print $2 }')
  case "$got:$want" in  # a switch: --help lists it as TRUE or FALSE
    FALSE:0|FALSE:[oO][fF][fF]|TRUE:1|TRUE:[oO][nN]) continue ;;
  esac
  [ "$got" = "$want" ] && continue
  if { [ "$name" = open-files-limit ] || [ "$name" = table-open-cache ]; } && [ "$hard" != unlimited ] \
     && [ "$hard" -lt "${files:-0}" ] && echo "$help" | grep -q 'Could not increase number of max_open_files'; then
    echo "note: $name is $got, not $want: the hard limit of open files here is $hard"
    continue
  fi
  fail "$name: the server takes ${got:-nothing}, the file says $want"
done <<< "$settings"
echo "$(echo "$settings" | wc -l) settings checked"

# The private server in sizing mode runs with the file; without it, with the small settings again.
sql() { mariadb --no-defaults --socket="$state/mysql.sock" -uroot -N -e "$1"; }
trap '"$services" mariadb-start "$state" "$root" "$dbport" "$gmport" >/dev/null' EXIT
VT_MARIADB_CNF=$cnf "$services" mariadb-start "$state" "$root" "$dbport" "$gmport" || fail "sized start"
for v in innodb_buffer_pool_size innodb_log_file_size table_definition_cache max_connections; do
  want=$(bytes "$(sed -n "s/^[ \t]*$v[ \t]*=[ \t]*\([^ \t#]*\).*/\1/p" "$cnf")")
  got=$(sql "SELECT @@$v")
  [ "$got" = "$want" ] || fail "sized server: $v is $got, the file says $want"
done
[ "$(sql "SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME IN ('vantor4','vtcfg','vtperf')")" = 3 ] \
  || fail "sized server: the schemas are missing"
"$services" mariadb-start "$state" "$root" "$dbport" "$gmport" || fail "small start"
[ "$(sql "SELECT @@innodb_buffer_pool_size")" = 134217728 ] || fail "the small settings did not come back"

echo "$fails failed"
[ "$fails" -eq 0 ]
