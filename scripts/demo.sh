#!/usr/bin/env bash
# Demonstration: the whole system as an operator runs it. Private MariaDB and gearmand, the
# connector daemon, and a simulated engine with the module loaded and a few hundred services,
# for about a minute, with a job-server outage in the middle; ends with a short summary of
# what reached the database and whether anything was lost. Full logs stay in the files named.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" || exit 1

dir="$top/build/demo"
root="$dir/sandbox"
state="$dir/services"
logs="$dir/logs"
base=${VT_TEST_PORT_BASE:-0}  # moves the private servers' ports, as for the tests
gport=$((14750 + base))
dport=$((13350 + base))
hosts=${VT_DEMO_HOSTS:-30} per_host=${VT_DEMO_SERVICES:-10} seconds=${VT_DEMO_SECONDS:-60}
services() { "$top/scripts/test-services.sh" "$1" "$state" "$root" "$dport" "$gport" >>"$logs/services.log" 2>&1; }
sql() { mariadb --no-defaults --socket="$state/mysql.sock" -uroot -N -B -e "$1" 2>>"$logs/services.log"; }
table() { mariadb --no-defaults --socket="$state/mysql.sock" -uroot --table -e "$1"; }
say() { echo "[$(date +%T)] $*"; }
# Sum of COUNT(*) over the tables of a schema whose names match a LIKE pattern.
count_tables() {  # schema, pattern, [where]
  local q
  q=$(sql "SELECT GROUP_CONCAT(CONCAT('SELECT COUNT(*) c FROM $1.\`', TABLE_NAME, '\` ${3:-}') SEPARATOR ' UNION ALL ')
           FROM information_schema.TABLES WHERE TABLE_SCHEMA='$1' AND TABLE_NAME LIKE '$2'")
  if [ -z "$q" ] || [ "$q" = NULL ]; then echo 0; else sql "SET SESSION group_concat_max_len=1000000; SELECT COALESCE(SUM(c),0) FROM ($q) t"; fi
}

mkdir -p "$dir"
rm -rf "$logs"; mkdir -p "$logs"
say "building (log: $logs/build.log)"
cmake -S "$top" -B "$dir" -DVANTOR_ROOT="$root" -DVANTOR_GEARMAN_PORT="$gport" -DVANTOR_TEST_DB_PORT="$dport" \
      -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF >"$logs/build.log" 2>&1 \
  && cmake --build "$dir" -j2 >>"$logs/build.log" 2>&1 || { tail -n 40 "$logs/build.log"; exit 1; }

supervisor=""
finish() {
  [ -n "${watcher:-}" ] && kill "$watcher" 2>/dev/null
  [ -n "$supervisor" ] && kill -TERM "$supervisor" 2>/dev/null && sleep 2
  "$top/scripts/test-services.sh" stop "$state" "$root" "$dport" "$gport" >>"$logs/services.log" 2>&1
}
trap finish EXIT
say "starting a private MariaDB (127.0.0.1:$dport) and gearmand (127.0.0.1:$gport) with empty databases"
services start || { echo "the servers did not start, see $logs/services.log"; exit 1; }
sql "DROP DATABASE IF EXISTS vantor4; DROP DATABASE IF EXISTS vtperf; DROP DATABASE IF EXISTS vtcfg"
services mariadb-start || { echo "provisioning failed, see $logs/services.log"; exit 1; }
rm -f "$root/var/"*.log "$root/var/"*.log.1 "$root/var/run/vantorconnector.lock" "$root/var/vtsql.errors" \
      "$root/var/perfdata.errors" "$root/var/delayed-messages/"* "$root/var/sim-notifications.log"
cat >"$root/etc/vantorconnector.conf" <<CONF
vtstatus_workers=3
perfdata_workers=2
notify_workers=2
CONF

"$dir/connector/vantorconnector" || exit 1
for _ in $(seq 1 100); do grep -q "PIDs Main process" "$root/var/vantorconnector.log" 2>/dev/null && break; sleep 0.1; done
supervisor=$(head -c 10 "$root/var/run/vantorconnector.lock" 2>/dev/null | tr -dc 0-9)
say "connector daemon running (supervisor $supervisor)"

# Dump files live only until the daemon has replayed them: keep a link to each for the summary.
mkdir -p "$logs/dumps"
( while :; do
    for f in "$root/var/delayed-messages/"*; do [ -f "$f" ] && ln -f "$f" "$logs/dumps/" 2>/dev/null; done
    sleep 0.2
  done ) &
watcher=$!

say "simulated engine: $hosts hosts, $((hosts * per_host)) services, $seconds s (output: $logs/engine.out)"
"$dir/engine/vantor-engine-sim" --hosts "$hosts" --services "$per_host" --seconds "$seconds" \
  --status-interval 5 --check-interval 10 --change-percent 5 --ledger "$logs/ledger" >"$logs/engine.out" 2>&1 &
engine=$!
outage_at=$((seconds / 3)) outage=$((seconds / 3))
sleep 5
# A front end queues commands for the engine; the daemon relays them into the engine's pipe.
now=$(date +%s)
sql "INSERT INTO vantor4.vantor_cmd (command) VALUES
     ('[$now] ACKNOWLEDGE_SVC_PROBLEM;sim-host-1;sim-service-1;1;1;1;Simulation Administrator;2030-01-31 18:00:00#|#disk replaced'),
     ('[$now] SCHEDULE_SVC_DOWNTIME;sim-host-1;sim-service-2;$((now + 2));$((now + 3600));1;0;3600;Simulation Administrator;kernel update'),
     ('[$now] ADD_HOST_COMMENT;sim-host-2;1;Simulation Administrator;cable replaced')"
say "queued an acknowledgement, a downtime and a comment in vantor4.vantor_cmd"
sleep "$((outage_at - 5))"
say "job server outage: gearmand stopped for $outage s"
services gearmand-stop
sleep "$outage"
services gearmand-start
say "gearmand is back"
wait "$engine" || say "the simulated engine ended with status $? (see $logs/engine.out)"

say "waiting for the daemon to carry the rest into the database"
"$dir/engine/vantor-engine-sim" --reconcile "$logs/ledger" --settle 90 >"$logs/reconcile.out" 2>&1
reconciled=$?
kill "$watcher" 2>/dev/null; watcher=""  # the engine's last dump, at its shutdown, is replayed by now
read -r sent landed dup kept lost <<<"$(awk '$1 == "all" { print $2, $3, $4, $5, $6 }' "$logs/reconcile.out")"

var="$root/var"
# A few rows of each kind, for a look at what the front ends read.
{
  echo "== host and service status rows"
  table "SELECT host_id, host_name, current_state, state_type, plugin_output, last_check
       FROM vantor4.host_status ORDER BY host_id LIMIT 5"
  table "SELECT host_id, service_id, service_description, current_state, state_type, current_attempt, plugin_output
       FROM vantor4.service_status ORDER BY host_id, service_id LIMIT 6"
  echo "== state history of the first host's services (initial_log_state 1: recorded at the engine start)"
  table "SELECT entry_time, service_id, current_state, state_type, current_attempt, initial_log_state, plugin_output
       FROM vantor4.service_state_change_1 ORDER BY entry_time_ms DESC LIMIT 8"
  echo "== performance values of the first host (vtperf.service_perf_1)"
  table "SELECT p.entry_time, p.service_id, m.metric, p.perf_value, m.unit, p.warning, p.critical
       FROM vtperf.service_perf_1 p LEFT JOIN vtcfg.service_metric m ON m.metric_id = p.metric_id
       ORDER BY p.entry_time DESC, p.service_id, m.metric LIMIT 8"
  echo "== notifications: lines the commands appended to $var/sim-notifications.log, and the rows"
  tail -n 6 "$var/sim-notifications.log" 2>/dev/null
  table "SELECT entry_time, host_id, service_id, contact_id, command_id, reason_type, state, output
         FROM vantor4.service_notification ORDER BY entry_time DESC LIMIT 6"
  table "SELECT entry_time, host_id, contact_id, reason_type, state, output FROM vantor4.host_notification
         ORDER BY entry_time DESC LIMIT 4"
  echo "== the commands from vantor_cmd as rows: an acknowledgement (comment entry_type 4), a running"
  echo "   downtime (type 1103) and a host comment; the history row of the acknowledgement names its author"
  table "SELECT host_id, service_id, entry_type, comment_data, expires, expire_time FROM vantor4.service_comment
         WHERE host_id=1 ORDER BY comment_id"
  table "SELECT type, host_id, service_id, comment_data, start_time, end_time FROM vantor4.service_downtime WHERE host_id=1"
  table "SELECT host_id, entry_type, comment_data FROM vantor4.host_comment WHERE host_id=2"
  table "SELECT entry_time, service_id, display_status, comment FROM vantor4.service_state_change_1
         WHERE comment IS NOT NULL ORDER BY entry_time_ms"
} >"$logs/rows.txt" 2>&1
dump_files=$(ls -A "$logs/dumps" | wc -l)
dumped=$(cat "$logs/dumps/"* 2>/dev/null | wc -l)
replayed=$(grep -o "processed [0-9]* delayed messages" "$var/vantorconnector.log" 2>/dev/null | awk '{ n += $2 } END { print n + 0 }')
# Each notification command appends one line ending in the user that ran it.
notify_log="$var/sim-notifications.log"
notified="$(cat "$notify_log" 2>/dev/null | wc -l) commands run by the daemon"
users=$(awk '{ print $NF }' "$notify_log" 2>/dev/null | sort | uniq -c | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2 }')
[ -n "$users" ] && notified="$notified, as: $users"
failed_sql=$(cat "$var/vtsql.errors" 2>/dev/null | wc -l)
restarts=$(grep -c "child died" "$var/vantorconnector.log" 2>/dev/null)

echo
echo "== summary"
printf '  %-36s %s\n' \
  "host_status / service_status rows" "$(sql "SELECT COUNT(*) FROM vantor4.host_status") / $(sql "SELECT COUNT(*) FROM vantor4.service_status")" \
  "history rows (host / service)" "$(count_tables vantor4 'host\_state\_change\_%') / $(count_tables vantor4 'service\_state\_change\_%')" \
  "performance values stored" "$(count_tables vtperf 'service\_perf\_%') ($(sql "SELECT COUNT(*) FROM vtcfg.service_metric") metrics)" \
  "notifications (host / service rows)" "$(sql "SELECT COUNT(*) FROM vantor4.host_notification") / $(sql "SELECT COUNT(*) FROM vantor4.service_notification"); $notified" \
  "from vantor_cmd (3 commands queued)" "$(sql "SELECT COUNT(*) FROM vantor4.service_comment WHERE entry_type=4") acknowledgement, $(sql "SELECT COUNT(*) FROM vantor4.service_downtime WHERE type=1103") downtime running, $(sql "SELECT COUNT(*) FROM vantor4.host_comment WHERE entry_type=1") host comment; $(sql "SELECT COUNT(*) FROM vantor4.vantor_cmd") left in the table" \
  "job-server outage ($outage s)" "$dumped messages delayed and dumped ($dump_files files), $replayed replayed" \
  "statements in vtsql.errors" "$failed_sql" \
  "workers restarted by the daemon" "${restarts:-0}"
if [ "$reconciled" -le 1 ] && [ -n "${sent:-}" ]; then
  verdict="nothing lost"; [ "$lost" -gt 0 ] && verdict="$lost LOST"
  printf '  %-36s %s\n' "events owed to the database" "sent $sent, landed $landed, duplicated $dup, kept $kept: $verdict"
else
  printf '  %-36s %s\n' "events owed to the database" "could not be compared (see $logs/reconcile.out)"
fi
echo
echo "A few rows of each kind: $logs/rows.txt"
echo "Full logs: $logs/ (engine.out, reconcile.out, dumps/), daemon $var/vantorconnector.log,"
echo "module $var/vtdb.log, engine $var/vantor-engine-sim.log"
[ "$reconciled" -eq 0 ]
