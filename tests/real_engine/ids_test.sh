#!/usr/bin/env bash
# The module in the released engine with an object configuration that names no id at all:
# hosts and services get their ids from the registry, contacts and commands theirs in the id
# tables, the history tables are made, and the ids stay across a restart (a renamed host is a
# new one, objects with configured ids keep them). Then an engine whose user cannot read
# db.php: its start must end at once, non-zero, with the module's line in the engine's log.
# Arguments: engine version, source dir, plain build dir, install root of that build, state dir
# of the private servers, database port, job-server port.
set -u
version=${1:?version} src=${2:?source dir} build=${3:?build dir} root=${4:?root}
state=${5:?state dir} dport=${6:?db port} gport=${7:?gearman port}
variant=stock
shared=$(realpath -m "$src/../shared/naemon")
prefix=/var/tmp/vantor-naemon/$version/$variant
# The module is built where the release's main real-engine test builds it: run after that
# test, this build is already up to date.
modbuild=$build/real-engine/$version-$variant/build
work=$build/real-engine/ids-$version
services="$src/scripts/test-services.sh"
say_tag="ids $version"
source "$src/tests/real_engine/helpers.sh"
host_id() { sql "SELECT host_id FROM vtcfg.host_registry WHERE host_name='$1'"; }

[ -d "$shared" ] || { say "FAILED: the real engine's source folder $shared is missing (expected beside the clone)"; exit 1; }
"$shared/build.sh" "$prefix" "$variant" "$version" || { say "FAILED: building the engine"; exit 1; }
mkdir -p "$work"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" cmake -S "$src" -B "$modbuild" -DVTDB_ENGINE=system \
  -DVANTOR_ROOT="$root" -DVANTOR_GEARMAN_PORT="$gport" -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF \
  >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; say "FAILED: configuring the module"; exit 1; }
cmake --build "$modbuild" --target vtdb -j2 >"$work/build.log" 2>&1 \
  || { tail -n 40 "$work/build.log"; say "FAILED: building the module"; exit 1; }
module="$modbuild/broker/vtdb.so"

p=ids-${version//./-}  # names of this release's objects
fixed_id=$((7950 + ${version//./} % 50))
run="$work/run"
rm -rf "$run"; mkdir -p "$run/checkresults" "$run/notified"
chmod 0755 "$run"; chmod 1777 "$run/notified"
cat >"$run/notify.sh" <<'SH'
#!/bin/sh
echo "$*" >>"$(dirname "$0")/notified/lines"
SH
printf '#!/bin/sh\necho "OK - fine | load=0.25;1;2;0;"\n' >"$run/check.sh"
chmod 0755 "$run/notify.sh" "$run/check.sh"

# A first start: nothing of these objects in the registry, the id tables or the history.
for id in $(sql "SELECT host_id FROM vtcfg.host_registry WHERE host_name LIKE '$p-%' OR former_name LIKE '$p-%'") $fixed_id; do
  sql "DROP TABLE IF EXISTS vantor4.host_state_change_$id, vantor4.service_state_change_$id, vtperf.service_perf_$id;
       DELETE FROM vantor4.host_status WHERE host_id=$id; DELETE FROM vantor4.service_status WHERE host_id=$id;
       DELETE FROM vantor4.service_notification WHERE host_id=$id; DELETE FROM vtcfg.service_metric WHERE host_id=$id" >/dev/null
done
sql "DELETE FROM vtcfg.host_registry WHERE host_name LIKE '$p-%' OR former_name LIKE '$p-%' OR host_id=$fixed_id;
     DELETE FROM vtcfg.service_registry WHERE host_name LIKE '$p-%' OR former_name LIKE '$p-%' OR host_id=$fixed_id;
     DELETE FROM vtcfg.nagios_contacts WHERE contact_name='$p-admin';
     DELETE FROM vtcfg.nagios_commands WHERE command_name LIKE '$p-%'" >/dev/null

# objects DB_HOST_NAME: the configuration as any engine has it, ids only on the "fixed" host.
objects() {
  timeperiod_24x7
  cat <<CFG
define command {
  command_name $p-host-check
  command_line /bin/echo 'UP - host answers'
}
define command {
  command_name $p-check
  command_line $run/check.sh
}
define command {
  command_name $p-notify
  command_line $run/notify.sh "\$NOTIFICATIONTYPE\$" "\$HOSTNAME\$" "\$SERVICEDESC\$" "\$SERVICESTATE\$"
}
define contact {
  contact_name $p-admin
  alias Ids Admin
  host_notification_period 24x7
  service_notification_period 24x7
  host_notification_options d,u,r
  service_notification_options w,u,c,r
  host_notification_commands $p-notify
  service_notification_commands $p-notify
}
define host {
  name $p-object
  register 0
  max_check_attempts 1
  check_interval 2
  retry_interval 1
  check_period 24x7
  notification_period 24x7
  notification_interval 0
  contacts $p-admin
  check_command $p-host-check
  address 127.0.0.1
}
define service {
  name $p-service
  register 0
  check_command $p-check
  max_check_attempts 1
  check_interval 2
  retry_interval 1
  check_period 24x7
  notification_period 24x7
  notification_interval 0
  contacts $p-admin
}
define host {
  use $p-object
  host_name $p-web
}
define host {
  use $p-object
  host_name $1
}
define host {
  use $p-object
  host_name $p-fixed
  _HOST_ID $fixed_id
}
define service {
  use $p-service
  host_name $p-web,$1,$p-fixed
  service_description ping
}
define service {
  use $p-service
  host_name $p-web
  service_description disk
  active_checks_enabled 0
  check_freshness 0
}
define service {
  use $p-service
  host_name $p-fixed
  service_description fixed
  _SERVICE_ID 5
}
CFG
}
engine_cfg() {  # engine_cfg RUN_DIR COMMAND_FILE MODULE
  cat <<CFG
log_file=$1/naemon.log
cfg_file=$1/objects.cfg
object_cache_file=$1/objects.cache
precached_object_file=$1/objects.precache
status_file=$1/status.dat
status_update_interval=2
state_retention_file=$1/retention.dat
retain_state_information=0
lock_file=$1/naemon.pid
temp_file=$1/naemon.tmp
temp_path=$1
check_result_path=$1/checkresults
query_socket=$1/naemon.qh
command_file=$2
check_external_commands=1
broker_module=$3
event_broker_options=-1
interval_length=1
log_notifications=1
enable_notifications=1
execute_service_checks=1
accept_passive_service_checks=1
execute_host_checks=1
use_syslog=0
illegal_macro_output_chars=\`~\$&|'"<>
CFG
}
objects "$p-db" >"$run/objects.cfg"
engine_cfg "$run" "$root/var/rw/vantor.cmd" "$module" >"$run/naemon.cfg"

cat >"$root/etc/vantorconnector.conf" <<CONF
vtstatus_workers=2
perfdata_workers=1
notify_workers=1
CONF
"$services" gearmand-start "$state" "$root" "$dport" "$gport" || exit 1
"$services" notify-user "$state" "$root" "$dport" "$gport" || exit 1
rm -f "$root/var/vtdb.log" "$root/var/vantorconnector.log" "$root/var/run/vantorconnector.lock" "$root/var/rw/vantor.cmd"
daemon_pid="" engine_pid="" conf_mode=""
finish() {
  [ -n "$engine_pid" ] && kill "$engine_pid" 2>/dev/null && wait "$engine_pid" 2>/dev/null
  [ -n "$daemon_pid" ] && kill -TERM "$daemon_pid" 2>/dev/null
  for _ in $(seq 1 100); do [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
  [ -n "$conf_mode" ] && chmod "$conf_mode" "$root/etc/db.php"
  rm -f "$root/var/rw/vantor.cmd"
}
trap finish EXIT
"$build/connector/vantorconnector" || { say "FAILED: the daemon did not start"; exit 1; }
wait_for 10 has_line "$root/var/vantorconnector.log" "PIDs Main process"
daemon_pid=$(head -c 10 "$root/var/run/vantorconnector.lock" 2>/dev/null | tr -dc 0-9)

start_engine() {
  rm -f "$root/var/vtdb.log"
  "$prefix/bin/naemon" --allow-root "$run/naemon.cfg" >>"$run/naemon.out" 2>&1 &
  engine_pid=$!
  check "the module loads (\"vtdb loaded\")" wait_for 20 has_line "$root/var/vtdb.log" "vtdb loaded"
  kill -0 "$engine_pid" 2>/dev/null || { cat "$run/naemon.out"; say "FAILED: the engine ended"; exit 1; }
  for h in $p-web "$1" $p-fixed; do
    command_pipe "SCHEDULE_FORCED_HOST_CHECK;$h;$(date +%s)"
    command_pipe "SCHEDULE_FORCED_SVC_CHECK;$h;ping;$(date +%s)"
  done
}
stop_engine() {
  kill -TERM "$engine_pid"
  wait_for 20 bash -c "! kill -0 $engine_pid 2>/dev/null"
  wait "$engine_pid" 2>/dev/null
  engine_pid=""
}

started=$(date +%s)
start_engine $p-db
web=$(host_id $p-web) db=$(host_id $p-db)
check "ids registered for the hosts without one ($p-web $web, $p-db $db)" \
  bash -c "[ -n '$web' ] && [ -n '$db' ] && [ '$web' != '$db' ]"
check "the configured id recorded for $p-fixed" equals "$fixed_id" "SELECT host_id FROM vtcfg.host_registry WHERE host_name='$p-fixed'"
check "status rows for every host" wait_for 30 equals 3 \
  "SELECT COUNT(*) FROM vantor4.host_status WHERE host_id IN ($web, $db, $fixed_id) AND plugin_output='UP - host answers'"
check "the configured service id kept" wait_for 20 equals 1 \
  "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$fixed_id AND service_id=5"
check "initial states in the history tables the module made" wait_for 20 at_least 2 \
  "SELECT COUNT(*) FROM vantor4.service_state_change_$web WHERE initial_log_state=1"
check "initial state of the configured host in its new history table" wait_for 20 at_least 1 \
  "SELECT COUNT(*) FROM vantor4.host_state_change_$fixed_id WHERE initial_log_state=1"
disk=$(sql "SELECT service_id FROM vtcfg.service_registry WHERE host_name='$p-web' AND service_description='disk'")
command_pipe "PROCESS_SERVICE_CHECK_RESULT;$p-web;disk;2;CRITICAL - disk full|used=95%;80;90;0;100"
check "status rows for every service" wait_for 30 equals 5 \
  "SELECT COUNT(*) FROM vantor4.service_status s JOIN vtcfg.service_registry r ON r.host_id=s.host_id AND r.service_id=s.service_id WHERE r.host_name LIKE '$p-%'"
check "the state change in the history" wait_for 20 at_least 1 \
  "SELECT COUNT(*) FROM vantor4.service_state_change_$web WHERE service_id=$disk AND current_state=2 AND initial_log_state=0"
check "performance values under the assigned ids" wait_for 30 at_least 1 \
  "SELECT COUNT(*) FROM vtperf.service_perf_$web p JOIN vtcfg.service_metric m ON m.metric_id=p.metric_id WHERE m.host_id=$web AND m.service_id=$disk AND m.metric='used'"
contact=$(sql "SELECT contact_id FROM vtcfg.nagios_contacts WHERE contact_name='$p-admin'")
command=$(sql "SELECT command_id FROM vtcfg.nagios_commands WHERE command_name='$p-notify'")
check "the engine's contact and command have ids ($contact, $command)" bash -c "[ '$contact' -gt 0 ] && [ '$command' -gt 0 ]" 2>/dev/null
check "notification row with the contact's and the command's ids" wait_for 30 at_least 1 \
  "SELECT COUNT(*) FROM vantor4.service_notification WHERE host_id=$web AND service_id=$disk AND contact_id='$contact' AND command_id='$command'"
check "the notification command run" wait_for 30 has_line "$run/notified/lines" "PROBLEM $p-web disk CRITICAL"
stop_engine

# A restart with $p-db renamed: $p-web keeps its ids, the renamed host is a new one.
objects "$p-db2" >"$run/objects.cfg"
restarted=$(date +%s)
start_engine $p-db2
db2=$(host_id $p-db2)
check "after a restart the same ids" bash -c "[ '$(host_id $p-web)' = '$web' ] && [ '$(host_id $p-db)' = '$db' ] && [ '$(host_id $p-fixed)' = '$fixed_id' ]"
check "a renamed host gets a new id ($db2)" bash -c "[ -n '$db2' ] && [ '$db2' != '$db' ] && [ '$db2' != '$web' ]"
check "status rows under the same ids after the restart" wait_for 30 equals 2 \
  "SELECT COUNT(*) FROM vantor4.host_status WHERE host_id IN ($web, $db2) AND last_check >= FROM_UNIXTIME($restarted)"
check "the old host's rows stay" equals 1 "SELECT COUNT(*) FROM vantor4.host_status WHERE host_id=$db"
check "no id given twice" equals 0 \
  "SELECT COUNT(*) FROM (SELECT host_id FROM vtcfg.host_registry GROUP BY host_id HAVING COUNT(*) > 1) d"
stop_engine

# An engine whose user cannot read db.php: the start command ends at once, non-zero, and the
# engine's log says why.
if id nobody >/dev/null 2>&1; then
  bad=$(mktemp -d /tmp/vtids-XXXXXX)
  chmod 0777 "$bad"; mkdir -m 0777 "$bad/checkresults"
  cp "$module" "$bad/vtdb.so"; chmod 0755 "$bad/vtdb.so"
  objects "$p-db2" >"$bad/objects.cfg"
  engine_cfg "$bad" "$bad/naemon.cmd" "$bad/vtdb.so" >"$bad/naemon.cfg"
  chmod 0644 "$bad/objects.cfg" "$bad/naemon.cfg"
  conf_mode=$(stat -c %a "$root/etc/db.php")
  chmod 0600 "$root/etc/db.php"
  t0=$(date +%s)
  timeout 60 runuser -u nobody -- "$prefix/bin/naemon" --daemon "$bad/naemon.cfg" >"$work/unreadable.out" 2>&1
  rc=$? took=$(($(date +%s) - t0))
  chmod "$conf_mode" "$root/etc/db.php"; conf_mode=""
  check "unreadable db.php: the engine's start returns non-zero within seconds (rc $rc, $took s)" \
    bash -c "[ $rc -ne 0 ] && [ $rc -ne 124 ] && [ $took -le 20 ]"
  check "unreadable db.php: the module's line in the engine's log" has_line "$bad/naemon.log" \
    "vtdb: cannot read $root/etc/db.php as user nobody: Permission denied; give it the group"
  [ "$failed" -eq 0 ] && rm -rf "$bad"
else
  say "FAILED: no user nobody to run the engine as"; failed=1
fi
say "run took $(($(date +%s) - started)) s"
[ "$failed" -eq 0 ] && say "passed" || say "FAILED (logs: $run, $root/var)"
exit "$failed"
