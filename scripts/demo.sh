#!/usr/bin/env bash
# Demonstration: private MariaDB and gearmand, the connector daemon, and a simulated engine
# with the broker module loaded; shows what reached the database and what was logged.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" || exit 1

dir="$top/build/demo"
root="$dir/sandbox"
state="$dir/services"
base=${VT_TEST_PORT_BASE:-0}  # moves the private servers' ports, as for the tests
gport=$((14750 + base))
dport=$((13350 + base))
services() { "$top/scripts/test-services.sh" "$1" "$state" "$root" "$dport" "$gport"; }
sql() { mariadb --no-defaults --socket="$state/mysql.sock" -uroot --table -e "$1"; }

mkdir -p "$dir"
echo "== building (log: $dir.build.log)"
cmake -S "$top" -B "$dir" -DVANTOR_ROOT="$root" -DVANTOR_GEARMAN_PORT="$gport" -DVANTOR_TEST_DB_PORT="$dport" \
      -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF >"$dir.build.log" 2>&1 \
  && cmake --build "$dir" -j2 >>"$dir.build.log" 2>&1 || { tail -n 40 "$dir.build.log"; exit 1; }

trap 'services stop >/dev/null 2>&1' EXIT
echo "== starting private MariaDB (127.0.0.1:$dport) and gearmand (127.0.0.1:$gport)"
services start || exit 1
rm -f "$root/var/"*.log "$root/var/vantorconnector.lock" "$root/var/sim-notifications.log"
cat > "$root/etc/vantorconnector.conf" <<CONF
vtstatus_workers=2
perfdata_workers=2
notify_workers=2
CONF

echo "== starting the connector daemon"
"$dir/connector/vantorconnector" || exit 1
for _ in $(seq 1 100); do grep -q "PIDs Main process" "$root/var/vantorconnector.log" 2>/dev/null && break; sleep 0.1; done

echo "== running the simulated engine with the module for 15 seconds"
echo "   (it writes commands into its pipe $root/var/rw/vantor.cmd like any external command)"
( sleep 6; printf '[%s] _VTDB_FETCH_DELAYED\n' "$(date +%s)" > "$root/var/rw/vantor.cmd" ) &
echo "   after 4 s a front end queues three commands in vantor4.vantor_cmd (the daemon relays them"
echo "   into the pipe); from 7 s to 11 s the job server is stopped, so the module dumps what it"
echo "   cannot submit and the daemon replays the dump files"
now=$(date +%s)
( sleep 4
  sql "INSERT INTO vantor4.vantor_cmd (command) VALUES
       ('[$now] ACKNOWLEDGE_SVC_PROBLEM;sim-host-1;sim-service-1;1;1;1;Simulation Administrator;2030-01-31 18:00:00#|#disk replaced'),
       ('[$now] SCHEDULE_SVC_DOWNTIME;sim-host-1;sim-service-2;$now;$((now + 3600));1;0;3600;Simulation Administrator;kernel update'),
       ('[$now] ADD_HOST_COMMENT;sim-host-2;1;Simulation Administrator;cable replaced')"
  sleep 3; services gearmand-stop >/dev/null; sleep 4; services gearmand-start >/dev/null ) &
"$dir/engine/vantor-engine-sim" --module "$dir/broker/vtdb.so" --hosts 5 --services 4 --seconds 15 \
  --status-interval 3 --check-interval 3 --change-percent 15 --show-status || echo "(the simulated engine ended with status $?)"
sleep 2

echo "== program status row (program_state: 103 = the engine has shut down; objects_loaded 2"
echo "   was set at the event-loop start; entry_time moved with every status dump)"
sql "SELECT id, program_state, version, nagios_pid, objects_loaded, program_start, entry_time FROM vantor4.program_status"
echo "== host and service status rows (a few of each; written at every status event)"
sql "SELECT host_id, host_name, current_state, state_type, current_attempt, plugin_output, last_check
     FROM vantor4.host_status ORDER BY host_id LIMIT 5"
sql "SELECT host_id, service_id, service_description, current_state, state_type, current_attempt, plugin_output
     FROM vantor4.service_status ORDER BY host_id, service_id LIMIT 6"
echo "== state history of the first host's services (initial_log_state 1: recorded at the engine start)"
sql "SELECT entry_time, service_id, current_state, state_type, current_attempt, initial_log_state, plugin_output
     FROM vantor4.service_state_change_1 ORDER BY entry_time_ms DESC LIMIT 8"
echo "== performance values of the first host (vtperf.service_perf_1)"
sql "SELECT p.entry_time, p.service_id, m.metric, p.perf_value, m.unit, p.warning, p.critical
     FROM vtperf.service_perf_1 p LEFT JOIN vtcfg.service_metric m ON m.metric_id = p.metric_id
     ORDER BY p.entry_time DESC, p.service_id, m.metric LIMIT 8"
echo "== the commands from vantor_cmd as rows: an acknowledgement (comment entry_type 4), a running"
echo "   downtime (type 1103) and a host comment; the history row of the acknowledgement names its author"
sql "SELECT host_id, service_id, entry_type, comment_data, expires, expire_time FROM vantor4.service_comment
     WHERE host_id=1 ORDER BY comment_id"
sql "SELECT type, host_id, service_id, comment_data, start_time, end_time FROM vantor4.service_downtime WHERE host_id=1"
sql "SELECT host_id, entry_type, comment_data FROM vantor4.host_comment WHERE host_id=2"
sql "SELECT entry_time, service_id, display_status, comment FROM vantor4.service_state_change_1
     WHERE comment IS NOT NULL ORDER BY entry_time_ms"
echo "== notifications: hard state changes notified each contact; the module took them over from the"
echo "   engine and the daemon's notification workers ran the commands as vtuser, which appended these"
echo "   lines to $root/var/sim-notifications.log"
tail -n 6 "$root/var/sim-notifications.log" 2>/dev/null
echo "   $(wc -l < "$root/var/sim-notifications.log" 2>/dev/null || echo 0) lines; the notification rows:"
sql "SELECT entry_time, host_id, service_id, contact_id, command_id, reason_type, state, output
     FROM vantor4.service_notification ORDER BY entry_time DESC LIMIT 6"
sql "SELECT entry_time, host_id, contact_id, reason_type, state, output FROM vantor4.host_notification
     ORDER BY entry_time DESC LIMIT 4"
echo "== relay and replay in the daemon's log (the outage's dumps were replayed; none is left)"
grep -E "external commands|delayed messages" "$root/var/vantorconnector.log"
echo "   files left in $root/var/delayed-messages: $(ls "$root/var/delayed-messages" | wc -l)"
echo "== the engine's log ($root/var/vantor-engine-sim.log)"
cat "$root/var/vantor-engine-sim.log" 2>/dev/null
echo "== daemon log ($root/var/vantorconnector.log)"
cat "$root/var/vantorconnector.log"
echo "== module log ($root/var/vtdb.log)"
cat "$root/var/vtdb.log" 2>/dev/null
echo "== stopping"
