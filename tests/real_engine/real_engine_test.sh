#!/usr/bin/env bash
# The module in one release of the real engine: builds the engine once into a folder outside the
# clone, builds the module against its headers, runs engine, module, daemon and the private
# servers for a few seconds, and checks what reached the database and the files. The
# display-status build runs everything; the stock build loads the module and carries status rows,
# history and the display status the module keeps, also across a restart with retention. From
# broker API 7 both also check the engine's global notification handlers.
# Arguments: engine version, variant (display-status|stock), source dir, plain build dir, install
# root of that build, state dir of the private servers, database port, job-server port.
set -u
version=${1:?version} variant=${2:?variant} src=${3:?source dir} build=${4:?build dir} root=${5:?root}
state=${6:?state dir} dport=${7:?db port} gport=${8:?gearman port}
shared=$(realpath -m "$src/../shared/naemon")
prefix=/var/tmp/vantor-naemon/$version/$variant
work=$build/real-engine/$version-$variant
services="$src/scripts/test-services.sh"
say_tag="$version $variant"
source "$src/tests/real_engine/helpers.sh"

[ -d "$shared" ] || { say "FAILED: the real engine's source folder $shared is missing (expected beside the clone)"; exit 1; }
say "engine build $prefix"
"$shared/build.sh" "$prefix" "$variant" "$version" || { say "FAILED: building the engine"; exit 1; }

mkdir -p "$work"
say "module build against $prefix/include/naemon"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" cmake -S "$src" -B "$work/build" -DVTDB_ENGINE=system \
  -DVANTOR_ROOT="$root" -DVANTOR_GEARMAN_PORT="$gport" -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF \
  >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; say "FAILED: configuring the module"; exit 1; }
grep -m1 'Engine: version' "$work/cmake.log"
grep -m1 'display_status' "$work/cmake.log"
api=$(sed -n 's/.*Engine: version .*, broker API \([0-9]*\).*/\1/p' "$work/cmake.log" | head -n 1)
cmake --build "$work/build" --target vtdb -j2 >"$work/build.log" 2>&1 \
  || { tail -n 40 "$work/build.log"; say "FAILED: building the module"; exit 1; }
module="$work/build/broker/vtdb.so"
"$src/tests/system_engine/module_linkage_check.sh" "$module" || exit 1

# Objects of this release and variant, with ids of their own in the shared database.
case $version-$variant in
  1.4.1-display-status) hid=7901 ;; 1.4.1-stock) hid=7902 ;; 1.4.2-stock) hid=7903 ;;
  1.4.4-stock) hid=7904 ;; 1.5.2-display-status) hid=7905 ;; 1.5.2-stock) hid=7906 ;;
  *) hid=7907 ;;
esac
hname=rt-$hid
run="$work/run"
rm -rf "$run"; mkdir -p "$run/checkresults" "$run/notified"
chmod 0755 "$run"; chmod 1777 "$run/notified"
cat >"$run/notify.sh" <<'SH'
#!/bin/sh
# Notification command of the run: one line per notification, ending with who ran it.
echo "$* $(id -un)" >>"$(dirname "$0")/notified/lines"
SH
cat >"$run/global.sh" <<'SH'
#!/bin/sh
# The engine's global notification handler: one line per run, ending with who ran it.
echo "$* $(id -un)" >>"$(dirname "$0")/notified/global"
SH
# A semicolon starts a comment in the object files: the check's output comes from a script.
printf '#!/bin/sh\necho "OK - active check | load=0.50;1;2;0; users=3;;;0;"\n' >"$run/check.sh"
chmod 0755 "$run/notify.sh" "$run/check.sh" "$run/global.sh"

# Without retention the engine numbers comments and downtimes from 1 on each start, and the
# tables key them by that number: rows of earlier runs (and other tests) would hide this run's.
sql "DELETE FROM vtcfg.nagios_contacts WHERE contact_id=7900 OR contact_name='rt-admin';
     DELETE FROM vtcfg.nagios_commands WHERE command_id=7900 OR command_name='rt-notify';
     INSERT INTO vtcfg.nagios_contacts (contact_id, contact_name, alias) VALUES (7900, 'rt-admin', 'Real Engine Admin');
     INSERT INTO vtcfg.nagios_commands (command_id, command_name) VALUES (7900, 'rt-notify');
     CALL vantor4.vt_create_host_tables($hid);
     DELETE FROM vantor4.host_status WHERE host_id=$hid; DELETE FROM vantor4.service_status WHERE host_id=$hid;
     DELETE FROM vantor4.host_state_change_$hid; DELETE FROM vantor4.service_state_change_$hid;
     DELETE FROM vantor4.service_notification WHERE host_id=$hid; DELETE FROM vantor4.host_notification WHERE host_id=$hid;
     DELETE FROM vantor4.host_comment WHERE host_id=$hid OR comment_id < 1000;
     DELETE FROM vantor4.service_comment WHERE host_id=$hid OR comment_id < 1000;
     DELETE FROM vantor4.host_downtime WHERE host_id=$hid OR downtime_id < 1000;
     DELETE FROM vantor4.service_downtime WHERE host_id=$hid OR downtime_id < 1000;
     DELETE FROM vantor4.program_status; DELETE FROM vantor4.vantor_cmd;
     DROP TABLE IF EXISTS vtperf.service_perf_$hid; DELETE FROM vtcfg.service_metric WHERE host_id=$hid" >/dev/null

timeperiod_24x7 >"$run/objects.cfg"
cat >>"$run/objects.cfg" <<CFG
define command {
  command_name rt-host-check
  command_line /bin/echo 'UP - host answers'
}
define command {
  command_name rt-check
  command_line $run/check.sh
}
define command {
  command_name rt-global-svc
  command_line $run/global.sh "\$NOTIFICATIONTYPE\$" "\$HOSTNAME\$" "\$SERVICEDESC\$" "\$SERVICENOTIFICATIONID\$" "\$ARG1\$"
}
define command {
  command_name rt-global-host
  command_line $run/global.sh "\$NOTIFICATIONTYPE\$" "\$HOSTNAME\$" "\$HOSTNOTIFICATIONID\$" "\$ARG1\$"
}
define command {
  command_name rt-notify
  command_line $run/notify.sh "\$NOTIFICATIONTYPE\$" "\$HOSTNAME\$" "\$SERVICEDESC\$" "\$SERVICESTATE\$" "\$NOTIFICATIONCOMMENT\$"
}
define contact {
  contact_name rt-admin
  alias Real Engine Admin
  host_notification_period 24x7
  service_notification_period 24x7
  host_notification_options d,u,r
  service_notification_options w,u,c,r
  host_notification_commands rt-notify
  service_notification_commands rt-notify
}
define host {
  name rt-object
  register 0
  max_check_attempts 1
  check_interval 2
  retry_interval 1
  check_period 24x7
  notification_period 24x7
  notification_interval 0
  contacts rt-admin
}
define host {
  use rt-object
  host_name $hname
  address 127.0.0.1
  check_command rt-host-check
  _HOST_ID $hid
}
define service {
  name rt-service
  register 0
  host_name $hname
  check_command rt-check
  max_check_attempts 1
  check_interval 2
  retry_interval 1
  check_period 24x7
  notification_period 24x7
  notification_interval 0
  contacts rt-admin
  _HOST_ID $hid
}
define service {
  use rt-service
  service_description active
  _SERVICE_ID 1
}
define service {
  use rt-service
  service_description passive
  active_checks_enabled 0
  check_freshness 0
  _SERVICE_ID 2
}
CFG
cat >"$run/naemon.cfg" <<CFG
log_file=$run/naemon.log
cfg_file=$run/objects.cfg
object_cache_file=$run/objects.cache
precached_object_file=$run/objects.precache
status_file=$run/status.dat
status_update_interval=2
state_retention_file=$run/retention.dat
retain_state_information=$([ "$variant" = stock ] && echo 1 || echo 0)
retention_update_interval=0
lock_file=$run/naemon.pid
temp_file=$run/naemon.tmp
temp_path=$run
check_result_path=$run/checkresults
query_socket=$run/naemon.qh
command_file=$root/var/rw/vantor.cmd
check_external_commands=1
broker_module=$module
event_broker_options=-1
interval_length=1
log_notifications=1
log_passive_checks=1
log_external_commands=1
enable_notifications=1
execute_service_checks=1
accept_passive_service_checks=1
execute_host_checks=1
use_syslog=0
illegal_macro_output_chars=\`~\$&|'"<>
CFG
if [ "$api" -ge 7 ]; then
  printf 'global_service_notification_handler=rt-global-svc!svc\nglobal_host_notification_handler=rt-global-host!hst\nlog_global_notifications=1\n' >>"$run/naemon.cfg"
fi

cat >"$root/etc/vantorconnector.conf" <<CONF
vtstatus_workers=2
perfdata_workers=1
notify_workers=1
CONF
"$services" gearmand-start "$state" "$root" "$dport" "$gport" || exit 1
"$services" notify-user "$state" "$root" "$dport" "$gport" || exit 1
rm -f "$root/var/vtdb.log" "$root/var/vantorconnector.log" "$root/var/run/vantorconnector.lock" \
      "$root/var/delayed-messages/"* "$root/var/rw/vantor.cmd"
daemon_pid=""
engine_pid=""
finish() {
  [ -n "$engine_pid" ] && kill "$engine_pid" 2>/dev/null && wait "$engine_pid" 2>/dev/null
  [ -n "$daemon_pid" ] && kill -TERM "$daemon_pid" 2>/dev/null
  for _ in $(seq 1 100); do [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
  "$services" gearmand-start "$state" "$root" "$dport" "$gport" >/dev/null
  rm -f "$root/var/rw/vantor.cmd"  # the engine leaves its pipe behind
}
trap finish EXIT

"$build/connector/vantorconnector" || { say "FAILED: the daemon did not start"; exit 1; }
wait_for 10 has_line "$root/var/vantorconnector.log" "PIDs Main process"
daemon_pid=$(head -c 10 "$root/var/run/vantorconnector.lock" 2>/dev/null | tr -dc 0-9)

start_engine() {
  say "engine $prefix/bin/naemon with $module"
  "$prefix/bin/naemon" --allow-root "$run/naemon.cfg" >>"$run/naemon.out" 2>&1 &
  engine_pid=$!
  check "the module loads in the engine (\"vtdb loaded\" in vtdb.log)" wait_for 20 has_line "$root/var/vtdb.log" "vtdb loaded"
  if ! kill -0 "$engine_pid" 2>/dev/null; then cat "$run/naemon.out"; say "FAILED: the engine ended"; exit 1; fi
}
stop_engine() {
  say "engine stopped"
  kill -TERM "$engine_pid"
  wait_for 20 bash -c "! kill -0 $engine_pid 2>/dev/null"
  wait "$engine_pid" 2>/dev/null
  engine_pid=""
}
# The engine's global notification handlers (broker API 7 on) run through the module like
# contacts' commands: by the daemon as vtuser, with a row without contact and the engine's line.
check_global_handlers() {
  [ "$api" -ge 7 ] || return 0
  check "global service handler run by the daemon as vtuser, with the notification's UUID" wait_for 30 \
    bash -c "grep -qE '^PROBLEM $hname passive [0-9a-f]{8}-[0-9a-f-]{27} svc vtuser\$' '$run/notified/global'"
  check "global service handler's row without contact" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_notification WHERE host_id=$hid AND service_id=2 AND contact_id IS NULL AND command_args='svc'"
  check "global service handler's line in the engine log" has_line "$run/naemon.log" \
    "SERVICE NOTIFICATION: GLOBAL;$hname;passive;CRITICAL;rt-global-svc;CRITICAL - disk full"
  command_pipe "PROCESS_HOST_CHECK_RESULT;$hname;1;DOWN - cable cut"
  check "global host handler run by the daemon as vtuser, with the notification's UUID" wait_for 30 \
    bash -c "grep -qE '^PROBLEM $hname [0-9a-f]{8}-[0-9a-f-]{27} hst vtuser\$' '$run/notified/global'"
  check "global host handler's row without contact" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.host_notification WHERE host_id=$hid AND contact_id IS NULL AND command_args='hst'"
  check "global host handler's line in the engine log" has_line "$run/naemon.log" \
    "HOST NOTIFICATION: GLOBAL;$hname;DOWN;rt-global-host;DOWN - cable cut"
  command_pipe "PROCESS_HOST_CHECK_RESULT;$hname;0;UP - host answers"
}

started=$(date +%s)
start_engine
# The first scheduled checks may come late: ask for them now.
command_pipe "SCHEDULE_FORCED_HOST_CHECK;$hname;$(date +%s)"
command_pipe "SCHEDULE_FORCED_SVC_CHECK;$hname;active;$(date +%s)"
check "program status row while running" wait_for 20 at_least 1 \
  "SELECT COUNT(*) FROM vantor4.program_status WHERE objects_loaded=2 AND entry_time >= FROM_UNIXTIME($started)"
check "host status row from the engine's checks" wait_for 20 at_least 1 \
  "SELECT COUNT(*) FROM vantor4.host_status WHERE host_id=$hid AND plugin_output='UP - host answers'"
check "service status row from the engine's checks" wait_for 20 at_least 1 \
  "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid AND service_id=1 AND current_state=0 AND last_check IS NOT NULL"
check "initial states in the history" wait_for 20 at_least 2 \
  "SELECT COUNT(*) FROM vantor4.service_state_change_$hid WHERE initial_log_state=1"

say "passive result CRITICAL for $hname;passive through the command pipe"
command_pipe "PROCESS_SERVICE_CHECK_RESULT;$hname;passive;2;CRITICAL - disk full|used=95%;80;90;0;100"
check "passive result in the service status row" wait_for 20 at_least 1 \
  "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid AND service_id=2 AND current_state=2"
check "state change of the passive result in the history" wait_for 20 at_least 1 \
  "SELECT COUNT(*) FROM vantor4.service_state_change_$hid WHERE service_id=2 AND current_state=2 AND initial_log_state=0"

if [ "$variant" != stock ]; then
  check_global_handlers
  check "performance values stored (active and passive)" wait_for 20 at_least 2 \
    "SELECT COUNT(DISTINCT p.metric_id) FROM vtperf.service_perf_$hid p JOIN vtcfg.service_metric m ON m.metric_id=p.metric_id WHERE m.metric IN ('load','used')"
  check "notification run by the daemon as vtuser" wait_for 30 has_line "$run/notified/lines" "PROBLEM $hname passive CRITICAL  vtuser"
  check "notification row" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_notification WHERE host_id=$hid AND service_id=2 AND contact_id=7900 AND command_id=7900"
  check "notification line in the engine log" has_line "$run/naemon.log" \
    "SERVICE NOTIFICATION: rt-admin;$hname;passive;CRITICAL;rt-notify;CRITICAL - disk full"

  now=$(date +%s)
  sql "INSERT INTO vantor4.vantor_cmd (command) VALUES
       ('[$now] ACKNOWLEDGE_SVC_PROBLEM;$hname;passive;1;1;1;rt-admin;2030-01-31 18:00:00#|#disk replaced'),
       ('[$now] SCHEDULE_SVC_DOWNTIME;$hname;active;$((now + 1));$((now + 3600));1;0;3600;rt-admin;kernel update'),
       ('[$now] ADD_HOST_COMMENT;$hname;1;rt-admin;cable replaced')" >/dev/null
  say "queued an acknowledgement, a downtime and a comment in vantor_cmd"
  check "vantor_cmd emptied by the relay" wait_for 20 equals 0 "SELECT COUNT(*) FROM vantor4.vantor_cmd"
  check "acknowledgement stored" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_comment WHERE host_id=$hid AND service_id=2 AND entry_type=4 AND comment_data='disk replaced' AND expires=1"
  check "acknowledged in the service status" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid AND service_id=2 AND problem_has_been_acknowledged=1"
  # The comment reaches the command line without the characters a shell treats specially ("|").
  check "acknowledgement notification with its comment" wait_for 30 has_line "$run/notified/lines" \
    "ACKNOWLEDGEMENT $hname passive CRITICAL 2030-01-31 18:00:00##disk replaced vtuser"
  check "host comment stored" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.host_comment WHERE host_id=$hid AND entry_type=1 AND comment_data='cable replaced'"
  check "downtime stored as started" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_downtime WHERE host_id=$hid AND service_id=1 AND type=1103"
  check "display status 1 of the service in downtime" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid AND service_id=1 AND display_status=1"

  # Job-server outage: what the module cannot submit waits in its queue or in dump files.
  replayed() { grep -o "processed [0-9]* delayed messages" "$root/var/vantorconnector.log" | awk '{ n += $2 } END { print n + 0 }'; }
  replayed_before=$(replayed)
  say "gearmand stopped; 12 passive results meanwhile"
  "$services" gearmand-stop "$state" "$root" "$dport" "$gport"
  for i in $(seq 81 92); do
    command_pipe "PROCESS_SERVICE_CHECK_RESULT;$hname;passive;2;CRITICAL - disk full|used=$i%;80;90;0;100"
    sleep 0.4
  done
  sleep 1
  "$services" gearmand-start "$state" "$root" "$dport" "$gport" || exit 1
  say "gearmand is back"
  check "performance values of all 12 results of the outage" wait_for 30 equals 12 \
    "SELECT COUNT(DISTINCT p.perf_value) FROM vtperf.service_perf_$hid p JOIN vtcfg.service_metric m ON m.metric_id=p.metric_id WHERE m.metric='used' AND p.perf_value BETWEEN 81 AND 92"
  check "last outage result in the service status row" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid AND service_id=2 AND perf_data LIKE 'used=92%'"
  check "dumped messages replayed by the daemon" wait_for 20 bash -c "[ \$(grep -o 'processed [0-9]* delayed messages' '$root/var/vantorconnector.log' | awk '{ n += \$2 } END { print n + 0 }') -gt $replayed_before ]"
  sleep 2
  replayed_before=$(replayed)

  # Shutdown with the job server away: the last program status goes into the unload dump.
  "$services" gearmand-stop "$state" "$root" "$dport" "$gport"
elif [ "$version" = 1.4.2 ]; then
  say "1.4.2: build, load and status rows only"
else
  check_global_handlers
  # The released engine's objects have no display_status: the module keeps it.
  now=$(date +%s)
  command_pipe "SCHEDULE_SVC_DOWNTIME;$hname;active;$now;$((now + 3600));1;0;3600;rt-admin;kernel update"
  check "display status 1 (kept by the module) in the history row of the downtime start" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_state_change_$hid WHERE service_id=1 AND display_status=1 AND comment LIKE 'kernel update%'"
  check "display status 1 (kept by the module) in the service status row" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid AND service_id=1 AND display_status=1"
fi

if [ "$variant" = stock ] && [ "$version" = 1.4.2 ]; then
  now=$(date +%s)
  command_pipe "SCHEDULE_SVC_DOWNTIME;$hname;active;$now;$((now + 3600));1;0;3600;rt-admin;kernel update"
  check "display status 1 (kept by the module) in the service status row" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid AND service_id=1 AND display_status=1"
fi
stop_engine
if [ "$variant" = stock ]; then
  # The engine restores the downtime from its retention without announcing its start again.
  check "program status at shutdown" wait_for 20 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.program_status WHERE program_state IN (103, 106)"
  sql "UPDATE vantor4.service_status SET display_status=0 WHERE host_id=$hid" >/dev/null
  restarted=$(date +%s)
  rm -f "$root/var/vtdb.log" "$root/var/rw/vantor.cmd"
  start_engine
  command_pipe "SCHEDULE_FORCED_SVC_CHECK;$hname;active;$(date +%s)"
  check "display status 1 of the service in downtime after a restart with retention" wait_for 30 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid AND service_id=1 AND display_status=1 AND last_check >= FROM_UNIXTIME($restarted)"
  stop_engine
fi
if [ "$variant" != stock ]; then
  check "dump written at unload" has_line "$run/naemon.log" "Messages dumped to $root/var/delayed-messages"
  "$services" gearmand-start "$state" "$root" "$dport" "$gport" || exit 1
  check "program status at shutdown (replayed from the unload dump)" wait_for 30 at_least 1 \
    "SELECT COUNT(*) FROM vantor4.program_status WHERE program_state=103"
  check "no dump file left" wait_for 20 bash -c "[ -z \"\$(ls -A '$root/var/delayed-messages')\" ]"
fi
if [ "$version-$variant" = 1.5.2-stock ]; then
  # 1.5.0 and 1.5.1 share this release's broker API: a module built for another release of it
  # (here its package description says 1.5.1) must refuse to load, saying why.
  mkdir -p "$work/other-pc"
  sed 's/^Version:.*/Version: 1.5.1/' "$prefix/lib/pkgconfig/naemon.pc" >"$work/other-pc/naemon.pc"
  PKG_CONFIG_PATH="$work/other-pc" cmake -S "$src" -B "$work/build-other" -DVTDB_ENGINE=system \
    -DVANTOR_ROOT="$root" -DVANTOR_GEARMAN_PORT="$gport" -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF >"$work/cmake-other.log" 2>&1 \
    && cmake --build "$work/build-other" --target vtdb -j2 >"$work/build-other.log" 2>&1 \
    || { tail -n 40 "$work/cmake-other.log" "$work/build-other.log"; say "FAILED: building the module for 1.5.1"; exit 1; }
  sed "s|^broker_module=.*|broker_module=$work/build-other/broker/vtdb.so|" "$run/naemon.cfg" >"$run/naemon-other.cfg"
  timeout 20 "$prefix/bin/naemon" --allow-root "$run/naemon-other.cfg" >"$run/naemon-other.out" 2>&1
  check "a module built for 1.5.1 refuses this engine, naming both releases" \
    grep -qF "vtdb: built for engine version 1.5.1, but this engine is version 1.5.2: not loaded. Rebuild the module" \
    "$run/naemon.log" "$run/naemon-other.out"
  rm -f "$root/var/rw/vantor.cmd"
fi
# Configuring against the engine prints what it found in lines of its own, and no failed test
# (a released engine lacks display_status by design).
check "configuring prints no failed test for display_status" \
  bash -c '! grep -q "Performing Test VT_ENGINE_HAS_DISPLAY_STATUS" "$1" && grep -q "display_status" "$1"' _ "$work/cmake.log"
# The module compared the layout of this engine's objects with its own build at load; a module
# built for the other kind of the same release (with display_status where this engine has none,
# or the reverse) must refuse to load, saying which build it needs.
check "the module compared this engine's object layout with its build" \
  bash -c "! grep -qF 'layout of the engine' '$root/var/vtdb.log'"
if [ "$version" = 1.5.2 ]; then
  case $variant in stock) other=display-status; want=with; engine_kind=without ;;
                   *) other=stock; want=without; engine_kind=with ;; esac
  other_prefix=/var/tmp/vantor-naemon/$version/$other
  "$shared/build.sh" "$other_prefix" "$other" "$version" >/dev/null || { say "FAILED: building the $other engine"; exit 1; }
  PKG_CONFIG_PATH="$other_prefix/lib/pkgconfig" cmake -S "$src" -B "$work/build-$other" -DVTDB_ENGINE=system \
    -DVANTOR_ROOT="$root" -DVANTOR_GEARMAN_PORT="$gport" -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF >"$work/cmake-$other.log" 2>&1 \
    && cmake --build "$work/build-$other" --target vtdb -j2 >"$work/build-$other.log" 2>&1 \
    || { tail -n 40 "$work/cmake-$other.log" "$work/build-$other.log"; say "FAILED: building the module for $other"; exit 1; }
  sed "s|^broker_module=.*|broker_module=$work/build-$other/broker/vtdb.so|" "$run/naemon.cfg" >"$run/naemon-$other.cfg"
  timeout 20 "$prefix/bin/naemon" --allow-root "$run/naemon-$other.cfg" >"$run/naemon-$other.out" 2>&1
  check "a module built for $version $want display_status refuses this engine, naming the build it needs" \
    grep -qE "vtdb: built for engine version $version $want display_status \(host object [0-9]+ bytes, service object [0-9]+ bytes\), but this engine's hosts and services are laid out otherwise \(an engine $engine_kind display_status\): not loaded" \
    "$run/naemon.log" "$run/naemon-$other.out"
  rm -f "$root/var/rw/vantor.cmd"
fi
say "module log: $(grep -c '' "$root/var/vtdb.log") lines, engine log: $(grep -c '' "$run/naemon.log") lines, run took $(($(date +%s) - started)) s"

# What the run left, for the log.
say "rows: host_status $(sql "SELECT COUNT(*) FROM vantor4.host_status WHERE host_id=$hid"), service_status $(sql "SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=$hid"), host history $(sql "SELECT COUNT(*) FROM vantor4.host_state_change_$hid"), service history $(sql "SELECT COUNT(*) FROM vantor4.service_state_change_$hid"), performance values $(sql "SELECT COUNT(*) FROM vtperf.service_perf_$hid" 2>/dev/null), notifications $(sql "SELECT COUNT(*) FROM vantor4.service_notification WHERE host_id=$hid"), notification commands run $(cat "$run/notified/lines" 2>/dev/null | wc -l), replayed $(grep -o "processed [0-9]* delayed messages" "$root/var/vantorconnector.log" | awk '{ n += $2 } END { print n + 0 }'), vtsql.errors $(cat "$root/var/vtsql.errors" 2>/dev/null | wc -l)"
grep -h 'ERROR' "$root/var/vtdb.log" | sort | uniq -c | sort -rn | head -5 | sed 's/^/  vtdb.log: /'
grep -E 'Error|Warning' "$run/naemon.log" | head -5 | sed 's/^/  engine: /'
[ "$failed" -eq 0 ] && say "passed" || say "FAILED (logs: $run, $root/var)"
exit "$failed"
