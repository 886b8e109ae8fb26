#!/usr/bin/env bash
# Zero-loss fault injection: the simulated engine runs at a steady load against the daemon and
# the private servers while one fault is injected; then what the engine published (its ledger)
# is compared with what reached MariaDB, the failed-SQL file and the dump files.
# usage: zero_loss.sh CASE BUILD_DIR STATE_DIR INSTALL_ROOT DB_PORT GEARMAN_PORT
# CASE: gearmand-outage | gearmand-hang | gearmand-kill | mariadb-outage | child-kill | daemon-restart, or
#       ledger-check (the counting itself: rows taken away afterwards must show as lost or kept)
# Servers and daemon processes are started, stopped and killed only through their own pid
# files and the pids this script saw them start.
set -u
case_name=${1:?case}; build=${2:?build dir}; state=${3:?state dir}; root=${4:?install root}
dport=${5:?db port}; gport=${6:?gearman port}
here=$(cd "$(dirname "$0")" && pwd)
services_script="$here/../../scripts/test-services.sh"
sim="$build/engine/vantor-engine-sim"
daemon="$build/connector/vantorconnector"
work="$build/zero-loss/$case_name"
log="$root/var/vantorconnector.log"
lock="$root/var/run/vantorconnector.lock"

# The steady load: a few hundred services, checked every few seconds.
LOAD=(--hosts "${VT_ZL_HOSTS:-40}" --services "${VT_ZL_SERVICES:-8}" --first-host-id 7001 --status-interval 5
      --check-interval 5 --change-percent 5)

STATUS_WORKERS=3 PERFDATA_WORKERS=2 NOTIFY_WORKERS=2
failures=0
SUP="" SIM=""
stopped_pids=()

say() { echo "[$(date +%T)] $*"; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); }
svc() { "$services_script" "$1" "$state" "$root" "$dport" "$gport" >>"$work/services.log" 2>&1; }
sql() { mariadb --no-defaults --socket="$state/mysql.sock" -uroot -N -B -e "$1"; }
# Ended but not yet reaped (the init of a container may reap late) counts as gone.
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null && [ "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" != Z ]; }
children() { [ -n "$SUP" ] && ps -o pid= --ppid "$SUP" 2>/dev/null | tr -d ' '; }

# Lines "queue total running workers" from the job server's admin protocol.
gearman_status() {
  exec 3<>"/dev/tcp/127.0.0.1/$gport" || return 1
  printf 'status\n' >&3
  local line
  while IFS= read -r -t 5 line <&3; do
    [ "$line" = "." ] && break
    printf '%s\n' "$line"
  done
  exec 3<&-
}
queued() { gearman_status 2>/dev/null | awk -v q="$1" -F'\t' '$1 == q { print $2 - $3; f=1 } END { if (!f) print 0 }'; }
workers_of() { gearman_status 2>/dev/null | awk -v q="$1" -F'\t' '$1 == q { print $4; f=1 } END { if (!f) print 0 }'; }

daemon_start() {
  cat >"$root/etc/vantorconnector.conf" <<CONF
vtstatus_workers=$STATUS_WORKERS
perfdata_workers=$PERFDATA_WORKERS
notify_workers=$NOTIFY_WORKERS
CONF
  local before; before=$(grep -c "PIDs Main process" "$log" 2>/dev/null); before=${before:-0}
  "$daemon" || { fail "the daemon did not start"; return 1; }
  for _ in $(seq 1 300); do
    [ "$(grep -c "PIDs Main process" "$log" 2>/dev/null)" -gt "$before" ] && break
    sleep 0.1
  done
  SUP=$(head -c 10 "$lock" 2>/dev/null | tr -dc 0-9)
  alive "$SUP" || { fail "no supervisor after the start"; return 1; }
  say "daemon started, supervisor $SUP, children $(children | tr '\n' ' ')"
}

# Stops the daemon as an operator does (SIGTERM to the supervisor) and checks that none of
# its processes is left behind; whatever is, is reported and then killed.
daemon_stop() {
  alive "$SUP" || return 0
  local pids; pids="$SUP $(children | tr '\n' ' ')"
  kill -TERM "$SUP"
  for _ in $(seq 1 150); do
    local left=""
    for p in $pids; do alive "$p" && left="$left $p"; done
    [ -z "$left" ] && break
    sleep 0.1
  done
  local left=""
  for p in $pids; do alive "$p" && left="$left $p"; done
  if [ -n "$left" ]; then
    fail "processes of the stopped daemon left behind:$left"
    for p in $left; do kill -KILL "$p" 2>/dev/null; done
  fi
  SUP=""
}

cleanup() {
  for p in "${stopped_pids[@]}"; do kill -CONT "$p" 2>/dev/null; done
  alive "$SIM" && kill -TERM "$SIM" && wait "$SIM" 2>/dev/null
  if alive "$SUP"; then
    local pids; pids="$SUP $(children | tr '\n' ' ')"
    kill -KILL $pids 2>/dev/null
  fi
  svc mariadb-start; svc gearmand-start  # later tests expect the servers up
}
trap cleanup EXIT

sim_start() {  # run time in seconds
  "$sim" "${LOAD[@]}" --seconds "$1" --ledger "$work/ledger" >"$work/engine.out" 2>&1 &
  SIM=$!
  say "simulated engine $SIM running for $1 s: ${LOAD[*]}"
}

sim_wait() {
  wait "$SIM"; local rc=$?
  SIM=""
  [ "$rc" -eq 0 ] || fail "the simulated engine ended with status $rc (see $work/engine.out)"
}

# Compares the ledger with the database and prints the figures; fails on any loss, on kept
# items where the case allows none, and on any item landed twice, except of the kinds the case
# names (a notification whose worker was killed while its command ran runs again): those are
# counted apart.
reconcile() {  # allow_kept: yes|no, [kinds allowed twice: an awk regular expression]
  "$sim" --reconcile "$work/ledger" --settle 150 >"$work/reconcile.out" 2>&1
  local rc=$?
  cat "$work/reconcile.out"
  local all; all=$(awk '$1 == "all" { print $2, $3, $4, $5, $6 }' "$work/reconcile.out")
  read -r sent landed dup kept lost <<<"${all:-0 0 0 0 0}"
  echo "zero-loss $case_name: sent $sent, landed $landed, duplicated $dup, kept $kept, lost $lost"
  [ "$rc" -le 1 ] || fail "the ledger could not be reconciled"
  [ "${sent:-0}" -gt 0 ] || fail "the engine published nothing countable"
  [ "${lost:-1}" -eq 0 ] || fail "$lost items lost"
  [ "$1" = yes ] || [ "${kept:-0}" -eq 0 ] || fail "$kept items only kept in files, expected all in the database"
  local twice apart
  twice=$(awk -v allow="${2:-^$}" 'NF == 6 && $1 != "all" && $4 ~ /^[0-9]+$/ && $4 > 0 && $1 !~ allow { printf "%s %s, ", $1, $4 }' "$work/reconcile.out")
  apart=$(awk -v allow="${2:-^$}" 'NF == 6 && $1 != "all" && $4 ~ /^[0-9]+$/ && $4 > 0 && $1 ~ allow { printf "%s %s, ", $1, $4 }' "$work/reconcile.out")
  [ -z "$apart" ] || say "landed twice, as a worker killed while it ran allows: ${apart%, }"
  [ -z "$twice" ] || fail "items landed more than once: ${twice%, }"
  local dumps; dumps=$(ls -A "$root/var/delayed-messages" 2>/dev/null | wc -l)
  [ "$dumps" -eq 0 ] || fail "$dumps dump files were never replayed"
}

# The engine kept its schedule: at least 99 % of its due checks ran (the module must never
# make the engine's thread wait for the job server).
check_schedule() {
  local ran due
  read -r ran due <<<"$(sed -n 's/^vantor-engine-sim: \([0-9]*\) checks (\([0-9]*\) due).*/\1 \2/p' "$work/engine.out")"
  say "the engine ran ${ran:-?} of ${due:-?} due checks"
  [ -n "$ran" ] && [ "${due:-0}" -gt 0 ] || { fail "no check counts in $work/engine.out"; return; }
  [ $((ran * 100)) -ge $((due * 99)) ] || fail "the engine ran only $ran of $due due checks"
}

check_workers() {  # every queue has its configured number of workers, no more, no less
  local q want got
  for pair in vtdb_vtstatus:$STATUS_WORKERS vtdb_perfdata:$PERFDATA_WORKERS vtdb_statuspri:1 \
              vtdb_notify:$NOTIFY_WORKERS; do
    q=${pair%%:*}; want=${pair#*:}
    for _ in $(seq 1 100); do got=$(workers_of "$q"); [ "$got" = "$want" ] && break; sleep 0.2; done
    [ "$got" = "$want" ] || fail "$got workers registered for $q, expected $want"
  done
}

# ---- Set-up shared by every case ----
rm -rf "$work"; mkdir -p "$work"
say "case $case_name (logs in $work)"
svc mariadb-start || { echo "MariaDB did not start"; exit 1; }
svc gearmand-start || { echo "gearmand did not start"; exit 1; }
# Whatever an earlier test left: a daemon, queued jobs, dumps and failed statements.
old=$(head -c 10 "$lock" 2>/dev/null | tr -dc 0-9)
if alive "$old" && [ "$(ps -o comm= -p "$old")" = vantorconnector ]; then SUP=$old; daemon_stop; failures=0; fi
mkdir -p "$work/before"
mv "$root/var/vtsql.errors" "$root/var/perfdata.errors" "$work/before/" 2>/dev/null
mv "$root/var/delayed-messages/"* "$work/before/" 2>/dev/null
log_start=0; [ -f "$log" ] && log_start=$(wc -l <"$log")

daemon_start || exit 1
# Jobs an earlier case left queued would be counted here (a notification command as one run
# twice): they are served before this case's engine starts.
left_over=0
for _ in $(seq 1 120); do
  left_over=$(gearman_status 2>/dev/null | awk -F'\t' '$1 ~ /^vtdb_(vtstatus|statuspri|perfdata|notify)$/ { n += $2 }
                                                        END { print n + 0 }')
  [ "$left_over" -eq 0 ] && break
  sleep 0.5
done
[ "$left_over" -eq 0 ] || fail "$left_over jobs of an earlier case still queued after 60 s"

case "$case_name" in
gearmand-outage)
  sim_start 100
  sleep 15
  say "stopping gearmand for 60 s"; svc gearmand-stop
  sleep 60
  say "starting gearmand again"; svc gearmand-start
  sim_wait
  reconcile no
  ;;
gearmand-hang)
  # A job server that accepts connections but never answers, under load.
  sim_start 75
  sleep 15
  gpid=$(cat "$state/gearmand.pid")
  say "stopping gearmand $gpid with SIGSTOP for 30 s"
  stopped_pids=("$gpid"); kill -STOP "$gpid"
  sleep 30
  say "SIGCONT to gearmand"; kill -CONT "$gpid"; stopped_pids=()
  sim_wait
  check_schedule
  reconcile no
  ;;
gearmand-kill)
  sim_start 50
  sleep 12
  # Hold the workers so that jobs pile up in the job server, then kill it.
  stopped_pids=($(children))
  kill -STOP "${stopped_pids[@]}"
  sleep 10
  say "jobs queued at the kill: vtdb_vtstatus $(queued vtdb_vtstatus), vtdb_perfdata $(queued vtdb_perfdata)"
  before_kill=$(( $(queued vtdb_vtstatus) + $(queued vtdb_perfdata) ))
  kill -KILL "$(cat "$state/gearmand.pid")"
  sleep 1
  say "gearmand killed; starting it again"
  svc gearmand-start || { fail "gearmand did not start again:"; tail -n 5 "$work/services.log"; }
  back=$(( $(queued vtdb_vtstatus) + $(queued vtdb_perfdata) ))
  say "jobs back after the restart: vtdb_vtstatus $(queued vtdb_vtstatus), vtdb_perfdata $(queued vtdb_perfdata)"
  [ "$before_kill" -eq 0 ] || [ "$back" -gt 0 ] || fail "gearmand came back without the jobs it had queued"
  kill -CONT "${stopped_pids[@]}"; stopped_pids=()
  sim_wait
  reconcile no
  ;;
mariadb-outage)
  sim_start 55
  sleep 12
  say "stopping MariaDB for 20 s"; svc mariadb-stop
  sleep 20
  say "starting MariaDB again"; svc mariadb-start
  sim_wait
  reconcile yes
  say "statements kept in vtsql.errors: $(cat "$root/var/vtsql.errors" 2>/dev/null | wc -l)"
  ;;
child-kill)
  sim_start 50
  sleep 10
  # One child of each kind, one after the other, then one of each at once.
  kinds=$(grep -o "processing [a-z_]* queue - pid [0-9]*" "$log" | tail -n +1 | awk '{ print $2, $6 }')
  victims=()
  for q in vtdb_vtstatus vtdb_perfdata vtdb_statuspri; do
    for p in $(awk -v q="$q" '$1 == q { print $2 }' <<<"$kinds" | tac); do
      if ps -o pid= --ppid "$SUP" | tr -d ' ' | grep -qx "$p"; then victims+=("$q:$p"); break; fi
    done
  done
  pids_line=$(grep "PIDs Main process $SUP " "$log" | tail -1)
  for f in "External CMDs" "delayed messages"; do
    p=$(sed -n "s/.*Child process $f \([0-9-]*\).*/\1/p" <<<"$pids_line")
    [ -n "$p" ] && [ "$p" -gt 0 ] && victims+=("${f// /_}:$p")
  done
  p=$(sed -n 's/.*notify_gm *\([0-9]*\).*/\1/p' <<<"$pids_line")
  [ -n "$p" ] && victims+=("vtdb_notify:$p")
  for v in "${victims[@]}"; do say "SIGKILL ${v%%:*} child ${v#*:}"; kill -KILL "${v#*:}"; sleep 3; done
  sleep 3
  several=$(children | head -n 4 | tr '\n' ' ')
  say "SIGKILL several at once: $several"; kill -KILL $several
  killed=$(( ${#victims[@]} + $(wc -w <<<"$several") ))
  sim_wait
  died=$(tail -n +"$((log_start + 1))" "$log" | grep -c "child died")
  say "children killed: $killed, restarts logged: $died"
  [ "$died" -ge "$killed" ] || fail "only $died restarts logged for $killed killed children"
  check_workers
  reconcile no '^notify_command$'
  ;;
daemon-restart)
  sim_start 50
  sleep 12
  say "stopping the daemon under load"; daemon_stop
  sleep 5
  say "starting the daemon again"; daemon_start
  check_workers
  sim_wait
  reconcile no
  ;;
ledger-check)
  sim_start 8
  sim_wait
  "$sim" --reconcile "$work/ledger" --settle 60 >"$work/before.out" 2>&1 || fail "loss before anything was taken away"
  # Take rows of three kinds away and keep one of the statements in the failed-SQL file:
  # the comparison must find exactly these.
  hist_host=$(awk '$1 == "service_history" { print $3; exit }' "$work/ledger")
  [ -n "$hist_host" ] || { fail "no state change in the run"; hist_host=7001; }
  sql "DELETE FROM vt_test.ledger_status WHERE kind = 'service_status' LIMIT 3;
       DELETE FROM vantor4.service_state_change_$hist_host WHERE initial_log_state = 0 ORDER BY entry_time_ms DESC LIMIT 1;
       DELETE FROM vtperf.service_perf_7002 WHERE metric_id IN
         (SELECT metric_id FROM vtcfg.service_metric WHERE host_id = 7002 AND metric = 'vt_seq') ORDER BY entry_time DESC LIMIT 2"
  seq=$(awk '$1 == "host_status" { s = $2 } END { print s }' "$work/ledger")
  sql "DELETE FROM vt_test.ledger_status WHERE kind = 'host_status' AND seq = '$seq'"
  echo "INSERT INTO vantor4.host_status (host_id, plugin_output) VALUES (7001, 'kept vt_seq=$seq');" >>"$root/var/vtsql.errors"
  "$sim" --reconcile "$work/ledger" --settle 0 >"$work/reconcile.out" 2>&1
  rc=$?
  cat "$work/reconcile.out"
  lost_of() { awk -v k="$1" '$1 == k { print $6 }' "$work/reconcile.out"; }
  lost_status=$(lost_of service_status) lost_perf=$(lost_of service_perf) lost_history=$(lost_of service_history)
  read -r kept_host lost_host <<<"$(awk '$1 == "host_status" { print $5, $6 }' "$work/reconcile.out")"
  [ "$rc" -eq 1 ] || fail "the comparison ended with $rc, expected 1 for a loss"
  [ "$lost_status/$lost_perf/$lost_history" = 3/2/1 ] ||
    fail "lost status $lost_status, perf $lost_perf, history $lost_history; expected 3, 2 and 1"
  [ "$kept_host" = 1 ] && [ "$lost_host" = 0 ] || fail "host status kept $kept_host, lost $lost_host; expected 1 and 0"
  rm -f "$root/var/vtsql.errors"
  ;;
*) echo "unknown case $case_name" >&2; exit 2 ;;
esac

daemon_stop
if [ "$failures" -gt 0 ]; then
  say "case $case_name FAILED ($failures); daemon log $log, engine output $work/engine.out"
  exit 1
fi
say "case $case_name passed"
