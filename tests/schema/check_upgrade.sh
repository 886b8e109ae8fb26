#!/usr/bin/env bash
# Upgrade scripts: a database made by the previous schema, upgraded, equals one made by today's.
# usage: check_upgrade.sh SOCKET   (socket of a MariaDB server the caller may use as root)
#
# Both are built under other schema names (prefixes vtup_ and vtnew_), so the server's own
# vantor4, vtcfg and vtperf stay untouched; they are dropped again on exit.
set -u
sock=${1:?usage: check_upgrade.sh SOCKET}
here=$(cd "$(dirname "$0")" && pwd)
sqldir="$here/../../sql"
previous="$here/fixtures/previous-schema.sql"
client=(mariadb --no-defaults --socket="$sock" -uroot)
failed=0
bad() { failed=1; echo "FAIL: $*" >&2; }

# renamed PREFIX FILE: the file with its schema names prefixed.
renamed() { sed -E "s/\b(vantor4|vtcfg|vtperf)\b/$1\1/g" "$2"; }
drop_all() { for p in vtup_ vtnew_; do for s in vantor4 vtcfg vtperf; do echo "DROP DATABASE IF EXISTS $p$s;"; done; done |
  "${client[@]}"; }
trap drop_all EXIT
drop_all

# What a schema is made of, with its prefix taken out: every table's definition (without the
# counter of AUTO_INCREMENT) and every procedure's.
describe() {
  local p=$1 s t
  for s in vantor4 vtcfg vtperf; do
    for t in $("${client[@]}" -N -B -e "SELECT table_name FROM information_schema.tables WHERE table_schema='$p$s' ORDER BY 1"); do
      echo "== $s.$t"
      "${client[@]}" -N -B -e "SHOW CREATE TABLE $p$s.\`$t\`" | sed -E 's/ AUTO_INCREMENT=[0-9]+//'
    done
    "${client[@]}" -N -B -e "SELECT routine_name, routine_definition FROM information_schema.routines WHERE routine_schema='$p$s' ORDER BY 1"
  done | sed "s/$p//g"
}

renamed vtup_ "$previous" | "${client[@]}" || bad "the previous schema does not load"
# A row made before the upgrade must survive it.
"${client[@]}" -e "INSERT INTO vtup_vantor4.service_status (host_id, service_id, host_name, deleted, next_check)
                   VALUES (7, 8, 'kept', 1, '2020-01-01 00:00:00')" || bad "row before the upgrade"
for f in "$sqldir"/upgrade-*.sql; do
  [ -e "$f" ] || { bad "no upgrade script in sql/"; break; }
  renamed vtup_ "$f" | "${client[@]}" || bad "$(basename "$f") fails on the previous schema"
  renamed vtup_ "$f" | "${client[@]}" || bad "$(basename "$f") fails when run a second time"
done
renamed vtnew_ "$sqldir/schema.sql" | "${client[@]}" || bad "schema.sql does not load"

upgraded=$(describe vtup_); fresh=$(describe vtnew_)
if [ "$upgraded" != "$fresh" ]; then
  bad "the upgraded schema differs from schema.sql:"
  diff <(echo "$upgraded") <(echo "$fresh") >&2
fi
[ "$("${client[@]}" -N -B -e "SELECT host_name FROM vtup_vantor4.service_status WHERE host_id=7 AND service_id=8")" = kept ] ||
  bad "the row made before the upgrade is gone"

# The purge reads the flagged rows through the index on deleted.
plan=$("${client[@]}" -N -B -e "EXPLAIN DELETE FROM vtnew_vantor4.service_status WHERE deleted=1 AND
  (unix_timestamp(now()) - unix_timestamp(next_check)) > (check_interval * 60 * 10)")
case "$plan" in *service_status_purge*) ;; *) bad "the purge does not use its index: $plan" ;; esac

# Every script records itself, and a fresh schema records every script: both lists equal the
# scripts in sql/, so the check command can tell an upgrade not yet applied.
scripts=$(for f in "$sqldir"/upgrade-*.sql; do basename "$f" .sql; done | sort)
for p in vtup_ vtnew_; do
  recorded=$("${client[@]}" -N -B -e "SELECT name FROM ${p}vtcfg.schema_upgrades ORDER BY name" | sort)
  [ "$recorded" = "$scripts" ] || bad "${p%_} records the upgrades \"$recorded\", sql/ holds \"$scripts\""
done

[ $failed = 0 ] && echo "upgrade checks passed"
exit $failed
