#!/usr/bin/env bash
# Checks the schema against every statement form the system writes: loads, runs, and key behaviour.
# usage: check_statements.sh SOCKET   (socket of a MariaDB server the caller may use as root)
#
# The statements are the writers' format texts filled with printf, so a column added to a
# positional table, a wrong type in strict mode or a missing key shows up here as a failure.
# Only throw-away rows of host 990001 (and rolled-back transactions) are used; they are
# removed again on exit.
set -u
sock=${1:?usage: check_statements.sh SOCKET}
here=$(cd "$(dirname "$0")" && pwd)
schema="$here/../../sql/schema.sql"
create_host_tables="$here/../../scripts/create-host-tables.sh"
H=990001
MARK="schema-check-$H"
client=(mariadb --no-defaults --socket="$sock" -uroot)
passed=0; failed=0

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*" >&2; }

# sql SCHEMA TEXT: runs TEXT with SCHEMA selected; prints the rows tab-separated.
sql() { "${client[@]}" -N -B -D "$1" -e "$2" 2>&1; }

# run NAME SCHEMA TEXT: TEXT must succeed.
run() {
  local out
  out=$(sql "$2" "$3") && ok || bad "$1: $out"
}

# expect NAME SCHEMA WANT TEXT: TEXT must succeed and print exactly WANT.
expect() {
  local out
  if ! out=$(sql "$2" "$4"); then bad "$1: $out"; return; fi
  [ "$out" = "$3" ] && ok || bad "$1: expected [$3], got [$out]"
}

# refuse NAME SCHEMA ERRNO TEXT: TEXT must fail with that server error number.
refuse() {
  local out
  if out=$(sql "$2" "$4"); then bad "$1: succeeded, expected error $3"; return; fi
  [[ "$out" == *"ERROR $3 "* ]] && ok || bad "$1: expected error $3, got [$out]"
}

# fill FORMAT ARGS...: the statement, as the writers format it. printf would silently
# repeat the format for surplus arguments, so the count must match the conversions; on a
# mismatch the output is a text the server rejects, which fails the check that runs it.
fill() {
  local f=$1; shift
  local n; n=$(grep -oE '%[.0-9]*l{0,2}[sdfu]' <<<"$f" | wc -l)
  if [ "$n" -ne $# ]; then
    echo "fill: format has $n conversions, got $# values: ${f:0:60}" >&2
    printf 'FILL MISMATCH %d %d;' "$n" $#
    return 1
  fi
  # shellcheck disable=SC2059
  printf "$f" "$@"
}

# guarded COLUMN...: the update list of an upsert that keeps the newer row, for these columns
# (the order column event_usec last, so that every column compares against its old value).
guarded() {
  local c out=""
  for c in "$@"; do out+="$c=IF(event_usec<=VALUES(event_usec),VALUES($c),$c),"; done
  printf '%s' "${out}event_usec=GREATEST(event_usec,VALUES(event_usec))"
}

cleanup() {
  local t
  for t in host_status service_status host_comment service_comment host_downtime \
           service_downtime host_flapping service_flapping host_notification service_notification; do
    sql vantor4 "DELETE FROM vantor4.$t WHERE host_id=$H;" >/dev/null
  done
  for t in host_comment_deleted service_comment_deleted; do
    sql vantor4 "DELETE FROM vantor4.$t WHERE comment_id BETWEEN 99000100000 AND 99000100099;" >/dev/null
  done
  sql vtcfg "DELETE FROM vtcfg.service_metric WHERE host_id=$H;" >/dev/null
  sql vantor4 "DELETE FROM vantor4.vantor_cmd WHERE command LIKE '%$MARK%';" >/dev/null
  sql vantor4 "DROP TABLE IF EXISTS vantor4.host_state_change_$H, vantor4.service_state_change_$H,
               vtperf.service_perf_$H;" >/dev/null
}

if ! "${client[@]}" -e 'SELECT 1' >/dev/null 2>&1; then
  echo "cannot reach MariaDB on $sock" >&2; exit 1
fi
cleanup
trap cleanup EXIT

# --- statement formats, exactly as the writers use them ---------------------------------

PROGRAM_COLUMNS=(entry_time program_state version nagios_pid daemon_mode program_start enable_notifications
  active_service_checks_enabled passive_service_checks_enabled active_host_checks_enabled
  passive_host_checks_enabled enable_event_handlers obsess_over_services obsess_over_hosts
  check_service_freshness check_host_freshness enable_flap_detection enable_failure_prediction
  process_performance_data global_host_event_handler global_service_event_handler)
F_PROGRAM="INSERT INTO %s.program_status (    id,    entry_time,    program_state,    version,    nagios_pid,    daemon_mode,    program_start,    enable_notifications,    active_service_checks_enabled,    passive_service_checks_enabled,    active_host_checks_enabled,    passive_host_checks_enabled,    enable_event_handlers,    obsess_over_services,    obsess_over_hosts,    check_service_freshness,    check_host_freshness,    enable_flap_detection,    enable_failure_prediction,    process_performance_data,    global_host_event_handler,    global_service_event_handler,    event_usec) VALUES (    0,    NOW(),    '%d',    '%s',    '%d',    '%d',    FROM_UNIXTIME(%ld),    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%s',    '%s',    %llu) ON DUPLICATE KEY UPDATE $(guarded "${PROGRAM_COLUMNS[@]}");"
F_PROGRAM_LOADED='UPDATE %s.program_status SET     objects_loaded=2,    entry_time=NOW() WHERE     id=0;'
F_PROGRAM_ALIVE='update %s.program_status set entry_time=NOW() where id=0;'
F_PURGE_HOSTS='DELETE from %s.host_status WHERE deleted=1 AND (unix_timestamp(now()) - unix_timestamp(next_check)) > (check_interval * 60 * 10);'
F_PURGE_SERVICES='DELETE from %s.service_status WHERE deleted=1 AND (unix_timestamp(now()) - unix_timestamp(next_check)) > (check_interval * 60 * 10);'

F_HOST_HEAD='INSERT INTO %s.host_status( host_id,host_name,problem_has_been_acknowledged,acknowledgement_type,check_type,current_state,last_state,last_hard_state,plugin_output,long_plugin_output,perf_data,state_type,current_attempt,latency,execution_time,notifications_enabled,next_check,last_check,last_state_change,scheduled_downtime_depth,is_flapping,total_services,modified_attributes,check_command,check_period,notification_period,check_interval,retry_interval,event_handler,max_attempts,active_checks_enabled,passive_checks_enabled,event_handler_enabled,flap_detection_enabled,process_performance_data,obsess_over_host,notes_url,action_url,icon_image,export_date,display_status,event_usec) VALUES'
F_HOST_ROW="( %s,%s,%d,%d,%d,%d,%d,%d,%s,%s,%s,%d,%d,%.03f,%.03f,%d,%s,%s,%s,%d,%d,'%d','%lu',%s,%s,%s,'%.06f','%.06f',%s,%d,%d,%d,%d,%d,%d,%d,%s,%s,%s,%s,%d,%llu)"
HOST_VALUE_ORDER=(host_id host_name problem_has_been_acknowledged acknowledgement_type check_type
  current_state last_state last_hard_state plugin_output long_plugin_output perf_data state_type
  current_attempt latency execution_time notifications_enabled next_check last_check
  last_state_change scheduled_downtime_depth is_flapping total_services modified_attributes
  check_command check_period notification_period check_interval retry_interval event_handler
  max_attempts active_checks_enabled passive_checks_enabled event_handler_enabled
  flap_detection_enabled process_performance_data obsess_over_host notes_url action_url icon_image
  export_date display_status event_usec)
F_HOST_TAIL=" ON DUPLICATE KEY UPDATE $(guarded "${HOST_VALUE_ORDER[@]:1:40}");"
F_HOST_STATUS="$F_HOST_HEAD$F_HOST_ROW$F_HOST_TAIL"

F_SERVICE_HEAD='INSERT INTO %s.service_status(    host_id,    service_id,    host_name,    service_description,    problem_has_been_acknowledged,    acknowledgement_type,    check_type,    current_state,    last_state,    last_hard_state,    plugin_output,    long_plugin_output,    perf_data,    state_type,    next_check,    last_check,    current_attempt,    last_notification,    next_notification,    last_state_change,    latency,    execution_time,    scheduled_downtime_depth,    is_flapping,    modified_attributes,    check_command,    check_period,    notification_period,    check_interval,    retry_interval,    event_handler,    max_attempts,    notifications_enabled,    active_checks_enabled,    passive_checks_enabled,    event_handler_enabled,    flap_detection_enabled,    obsess_over_service,    notes_url,    action_url,    icon_image,    host_icon_image,    export_date,    display_status,    event_usec) VALUES'
F_SERVICE_ROW='( %s,%s,%s,%s,%d,%d,%d,%d,%d,%d,%s,%s,%s,%d,%s,%s,%d,%s,%s,%s,%.03f,%.03f,%d,%d,%lu,%s,%s,%s,%.06f,%.06f,%s,%d,%d,%d,%d,%d,%d,%d,%s,%s,%s,%s,%s,%d,%llu)'
SERVICE_VALUE_ORDER=(host_id service_id host_name service_description problem_has_been_acknowledged
  acknowledgement_type check_type current_state last_state last_hard_state plugin_output
  long_plugin_output perf_data state_type next_check last_check current_attempt last_notification
  next_notification last_state_change latency execution_time scheduled_downtime_depth is_flapping
  modified_attributes check_command check_period notification_period check_interval retry_interval
  event_handler max_attempts notifications_enabled active_checks_enabled passive_checks_enabled
  event_handler_enabled flap_detection_enabled obsess_over_service notes_url action_url icon_image
  host_icon_image export_date display_status event_usec)
F_SERVICE_TAIL=" ON DUPLICATE KEY UPDATE $(guarded "${SERVICE_VALUE_ORDER[@]:2:42}");"
F_SERVICE_STATUS="$F_SERVICE_HEAD$F_SERVICE_ROW$F_SERVICE_TAIL"

F_HOST_ACK="UPDATE %s.host_status SET problem_has_been_acknowledged=1 WHERE host_id='%s' AND event_usec<=%llu;"
F_SERVICE_ACK="UPDATE %s.service_status SET problem_has_been_acknowledged=1 WHERE host_id='%s' AND service_id='%s' AND event_usec<=%llu;"

F_HOST_HISTORY='INSERT INTO %s.host_state_change_%s (entry_time, current_state, state_type, current_attempt, plugin_output, initial_log_state, display_status, sla_breach_end, comment, long_plugin_output, entry_time_ms) VALUES (%s,%d,%d,%d,%s,0,%d,%s,%s,%s,%llu);'
F_SERVICE_HISTORY='INSERT INTO %s.service_state_change_%s (entry_time, service_id, current_state, state_type, current_attempt, plugin_output, initial_log_state, display_status, sla_breach_end, comment, long_plugin_output, entry_time_ms) VALUES (%s,%s,%d,%d,%d,%s,0,%d,%s,%s,%s,%llu);'
F_HOST_INITIAL='INSERT INTO %s.host_state_change_%s (entry_time, current_state, state_type, current_attempt, plugin_output, initial_log_state, display_status, sla_breach_end, comment, long_plugin_output, entry_time_ms) VALUES (%s,%d,%d,%d,%s,1,%d,NULL,NULL,%s,%llu);'
F_SERVICE_TUPLE='(%s,%s,%d,%d,%d,%s,1,%d,NULL,NULL,%s,%llu)'
F_SERVICE_INITIAL='INSERT INTO %s.service_state_change_%s (entry_time, service_id, current_state, state_type, current_attempt, plugin_output, initial_log_state, display_status, sla_breach_end, comment, long_plugin_output, entry_time_ms) VALUES %s;'
F_HOST_LAST='SELECT current_state, state_type, current_attempt from host_state_change_%s ORDER BY entry_time_ms DESC LIMIT 1'
F_SERVICE_LAST="SELECT current_state, state_type, current_attempt from service_state_change_%s WHERE service_id = '%s' ORDER BY entry_time_ms DESC LIMIT 1"

F_COMMENT_DELETE='CALL %s.vt_delete_comment(%d,%lu,%llu);'
F_NOT_DELETED='WHERE NOT EXISTS (SELECT 1 FROM %s.%s_comment_deleted WHERE comment_id=%lu AND event_usec>=%llu)'
F_HOST_COMMENT="INSERT INTO %s.host_comment SELECT %s,%s,%d,%s,%d,%d,%d,%d,%s,%lu FROM DUAL $F_NOT_DELETED;"
F_SERVICE_COMMENT="INSERT INTO %s.service_comment SELECT %s,%s,%s,%d,%s,%d,%d,%d,%d,%s,%lu FROM DUAL $F_NOT_DELETED;"

DT_VALUES=(type entry_time contact_id comment_data start_time end_time fixed duration triggered_by attr)
F_HOST_DT="INSERT INTO %s.host_downtime(downtime_id,host_id,type,entry_time,contact_id,comment_data,start_time,end_time,fixed,duration,triggered_by,attr,event_usec) VALUES(%lu,%s,%d,%s,%d,%s,%s,%s,%d,%lu,%lu,%d,%llu) ON DUPLICATE KEY UPDATE $(guarded "${DT_VALUES[@]}");"
F_SERVICE_DT="INSERT INTO %s.service_downtime(downtime_id,host_id,service_id,type,entry_time,contact_id,comment_data,start_time,end_time,fixed,duration,triggered_by,attr,event_usec) VALUES(%lu,%s,%s,%d,%s,%d,%s,%s,%s,%d,%lu,%lu,%d,%llu) ON DUPLICATE KEY UPDATE $(guarded "${DT_VALUES[@]}");"

F_HOST_FLAP='INSERT INTO %s.host_flapping VALUES (%s,%d,%s,%lu,%.03f,%.03f,%.03f);'
F_SERVICE_FLAP='INSERT INTO %s.service_flapping VALUES (%s,%d,%s,%s,%lu,%.03f,%.03f,%.03f);'
F_HOST_NOTIFY='INSERT INTO %s.host_notification VALUES (%s,%s,%d,%d,%s,%d,%d,%s,%d,%s,%d,%s,%s);'
F_SERVICE_NOTIFY='INSERT INTO %s.service_notification VALUES (%s,%s,%s,%d,%d,%s,%d,%d,%s,%d,%s,%d,%s,%s);'

F_CMD_SELECT='select * from vantor_cmd'
F_CMD_DELETE="delete from vantor_cmd where id='%s'"

F_JOB_SERVERS='select * from job_servers;'
F_METRIC_UPDATE="INSERT IGNORE INTO vtcfg.service_metric (\`metric_id\`, \`host_id\`, \`service_id\`, \`metric\`, \`unit\`, \`value_max\`, \`value_min\`) values (%lu,%d,%d,'%s','%s',%s,%s) ON DUPLICATE KEY UPDATE unit='%s', value_max=%s, value_min=%s;"
F_METRIC_NEW="INSERT IGNORE INTO vtcfg.service_metric (\`host_id\`, \`service_id\`, \`metric\`, \`unit\`, \`value_max\`, \`value_min\`) values (%d,%d,'%s','%s',%s,%s) ON DUPLICATE KEY UPDATE unit='%s', value_max=%s, value_min=%s;"
F_METRIC_FIND="SELECT a.metric_id, b.host_name, b.service_description from vtcfg.service_metric as a, vantor4.service_status as b where a.host_id='%d' and a.service_id='%d' and a.metric='%s' and a.host_id = b.host_id and a.service_id = b.service_id"
F_METRIC_LOAD='select a.metric_id,a.host_id,a.service_id,a.metric,a.value_min,a.value_max,a.unit,b.host_name,b.service_description from vtcfg.service_metric as a, vantor4.service_status as b where a.host_id = b.host_id and a.service_id = b.service_id order by 2,3;'
F_PERF="INSERT INTO vtperf.service_perf_%d (\tentry_time,\tservice_id,\tmetric_id,\tperf_value,\twarning,\tcritical,\tbaseline,\tlower_limit,\tupper_limit) VALUES (\tfrom_unixtime(%ld),\t'%d',\t'%d',\t'%s',\t %s, \t %s, \t %s, \t %s, \t %s );"
F_PERF_TABLE='CREATE TABLE IF NOT EXISTS service_perf_%d LIKE service_perf;'

# --- the schema loads on an installed server without losing rows --------------------------

run "sentinel row" vantor4 "INSERT INTO vantor4.host_status (host_id, host_name) VALUES ($H, '$MARK');"
for pass in 1 2; do
  out=$("${client[@]}" <"$schema" 2>&1) && ok || bad "schema load $pass: $out"
done
expect "sentinel survives reload" vantor4 "$MARK" "SELECT host_name FROM vantor4.host_status WHERE host_id=$H;"
run "drop sentinel" vantor4 "DELETE FROM vantor4.host_status WHERE host_id=$H;"

# --- program status ----------------------------------------------------------------------

program_args() {  # STATE PID HOST_HANDLER EVENT_USEC: the statement of one process event
  local v=("$1" "9.12.8-7" "$2" 1 1700000000 1 1 1 1 1 1 0 0 1 1 1 0 1 "$3" "" "$4")
  fill "$F_PROGRAM" vantor4 "${v[@]}"
}
# The row id 0 may belong to a running test setup: work inside a transaction and roll back.
# The shutdown of an earlier run (replayed from a dump file after this run started) changes nothing.
expect "program_status upsert keeps one row, the newest event's" vantor4 $'1\t105\t4242\t9.12.8-7\t2023-11-14\tnotify-host\t\t2\t2000' "
  START TRANSACTION;
  DELETE FROM vantor4.program_status WHERE id=0;
  $(program_args 100 4241 '' 1000)
  $(program_args 105 4242 notify-host 2000)
  $(program_args 103 4241 '' 1500)
  $(fill "$F_PROGRAM_LOADED" vantor4)
  $(fill "$F_PROGRAM_ALIVE" vantor4)
  SELECT COUNT(*), MAX(program_state), MAX(nagios_pid), MAX(version), DATE(MAX(program_start)),
         MAX(global_host_event_handler), MAX(global_service_event_handler), MAX(objects_loaded), MAX(event_usec)
    FROM vantor4.program_status WHERE id=0;
  ROLLBACK;"

# --- host and service status ---------------------------------------------------------------

declare -A hv=(
  [host_id]=$H [host_name]="'$MARK'" [problem_has_been_acknowledged]=0 [acknowledgement_type]=0
  [check_type]=0 [current_state]=1 [last_state]=0 [last_hard_state]=0
  [plugin_output]="'CRITICAL - it\\'s down'" [long_plugin_output]=NULL [perf_data]="'rta=0.5ms;1;2;0'"
  [state_type]=0 [current_attempt]=1 [latency]=0.0125 [execution_time]=1.5 [notifications_enabled]=1
  [next_check]="'2024-05-01 12:05:00'" [last_check]=NULL [last_state_change]="'2024-05-01 12:00:00'"
  [scheduled_downtime_depth]=0 [is_flapping]=0 [total_services]=3
  [modified_attributes]=18446744073709551615 [check_command]="'check-host-alive'" [check_period]="'24x7'"
  [notification_period]=NULL [check_interval]=5 [retry_interval]=1 [event_handler]=NULL [max_attempts]=3
  [active_checks_enabled]=1 [passive_checks_enabled]=1 [event_handler_enabled]=1
  [flap_detection_enabled]=1 [process_performance_data]=1 [obsess_over_host]=0 [notes_url]=NULL
  [action_url]=NULL [icon_image]="'server.png'" [export_date]="'2024-05-01 11:00:00'" [display_status]=3
  [event_usec]=1714557600000000)
host_row() {
  local a=() c
  for c in "${HOST_VALUE_ORDER[@]}"; do a+=("${hv[$c]}"); done
  fill "$F_HOST_ROW" "${a[@]}"
}
host_status_stmt() {
  local a=() c
  for c in "${HOST_VALUE_ORDER[@]}"; do a+=("${hv[$c]}"); done
  fill "$F_HOST_STATUS" vantor4 "${a[@]}"
}
run "host_status insert" vantor4 "$(host_status_stmt)"
expect "host_status row as written" vantor4 \
  $'CRITICAL - it\'s down\tNULL\t0.013\t18446744073709551615\t5\t2024-05-01 12:05:00\tNULL\t0' "
  SELECT plugin_output, long_plugin_output, latency, modified_attributes, check_interval,
         next_check, last_check, deleted FROM vantor4.host_status WHERE host_id=$H;"
# A status row flagged deleted keeps the flag through later updates.
run "flag host deleted" vantor4 "UPDATE vantor4.host_status SET deleted=1 WHERE host_id=$H;"
hv[current_state]=0; hv[state_type]=1; hv[plugin_output]="'OK - back'"; hv[last_check]="'2024-05-01 12:10:00'"
hv[export_date]="'2024-05-02 08:00:00'"; hv[event_usec]=1714557600000002
run "host_status second event updates" vantor4 "$(host_status_stmt)"
HOST_NOW=$'1\t0\t1\tOK - back\t2024-05-01 12:10:00\t2024-05-02 08:00:00\t1\t1714557600000002'
HOST_NOW_SQL="SELECT COUNT(*), MAX(current_state), MAX(state_type), MAX(plugin_output), MAX(last_check),
         MAX(export_date), MAX(deleted), MAX(event_usec) FROM vantor4.host_status WHERE host_id=$H;"
expect "host_status one row, updated" vantor4 "$HOST_NOW" "$HOST_NOW_SQL"
# An event one microsecond older, arriving late, alone or merged with the newer row in either
# order, leaves the newer row as it is.
newer_row=$(host_row)
hv[current_state]=2; hv[plugin_output]="'stale'"; hv[last_check]="'2024-05-01 12:09:00'"; hv[event_usec]=1714557600000001
run "host_status older event" vantor4 "$(host_status_stmt)"
expect "host_status older event changes nothing" vantor4 "$HOST_NOW" "$HOST_NOW_SQL"
older_row=$(host_row)
run "host_status merged, older last" vantor4 "$(fill "$F_HOST_HEAD" vantor4)$newer_row,$older_row$F_HOST_TAIL"
run "host_status merged, older first" vantor4 "$(fill "$F_HOST_HEAD" vantor4)$older_row,$newer_row$F_HOST_TAIL"
expect "host_status merged rows keep the newest" vantor4 "$HOST_NOW" "$HOST_NOW_SQL"
# An acknowledgement older than the row (the problem since over) does not set the flag again.
run "host ack older than the row" vantor4 "$(fill "$F_HOST_ACK" vantor4 $H 1714557600000001)"
expect "host not acknowledged by the older ack" vantor4 0 "SELECT problem_has_been_acknowledged FROM vantor4.host_status WHERE host_id=$H;"
run "host ack" vantor4 "$(fill "$F_HOST_ACK" vantor4 $H 1714557600000003)"
expect "host acknowledged" vantor4 1 "SELECT problem_has_been_acknowledged FROM vantor4.host_status WHERE host_id=$H;"

declare -A sv=(
  [host_id]=$H [service_id]=1 [host_name]="'$MARK'" [service_description]="'load'"
  [problem_has_been_acknowledged]=0 [acknowledgement_type]=0 [check_type]=0 [current_state]=2
  [last_state]=0 [last_hard_state]=0 [plugin_output]="'CRITICAL - load 9.1'"
  [long_plugin_output]="'line 1\\nline 2'" [perf_data]="'load1=9.1;5;10;0'" [state_type]=0
  [next_check]="'2024-05-01 12:05:00'" [last_check]="'2024-05-01 12:00:00'" [current_attempt]=2
  [last_notification]=NULL [next_notification]=NULL [last_state_change]="'2024-05-01 11:55:00'"
  [latency]=0.2 [execution_time]=0.05 [scheduled_downtime_depth]=0 [is_flapping]=0
  [modified_attributes]=0 [check_command]="'check_load!5!10'" [check_period]="'24x7'"
  [notification_period]="'24x7'" [check_interval]=5 [retry_interval]=1 [event_handler]=NULL
  [max_attempts]=3 [notifications_enabled]=1 [active_checks_enabled]=1 [passive_checks_enabled]=0
  [event_handler_enabled]=1 [flap_detection_enabled]=1 [obsess_over_service]=0 [notes_url]=NULL
  [action_url]=NULL [icon_image]=NULL [host_icon_image]="'server.png'"
  [export_date]="'2024-05-01 11:00:00'" [display_status]=4 [event_usec]=1714557600000000)
service_status_stmt() {
  local a=() c
  for c in "${SERVICE_VALUE_ORDER[@]}"; do a+=("${sv[$c]}"); done
  fill "$F_SERVICE_STATUS" vantor4 "${a[@]}"
}
run "service_status insert" vantor4 "$(service_status_stmt)"
sv[current_state]=0; sv[current_attempt]=1; sv[plugin_output]=NULL; sv[last_notification]="'2024-05-01 12:01:00'"
sv[event_usec]=1714557600000005
run "service_status second event updates" vantor4 "$(service_status_stmt)"
saved_state=${sv[current_state]}; sv[current_state]=2; sv[event_usec]=1714557600000004
run "service_status older event" vantor4 "$(service_status_stmt)"
sv[current_state]=$saved_state; sv[event_usec]=1714557600000005
sv[service_id]=2; sv[service_description]="'disk /'"
run "service_status other service" vantor4 "$(service_status_stmt)"
expect "service_status keyed by host and service" vantor4 $'1\t0\t1\tNULL\t2024-05-01 12:01:00\n2\t0\t1\tNULL\t2024-05-01 12:01:00' "
  SELECT service_id, current_state, current_attempt, plugin_output, last_notification
    FROM vantor4.service_status WHERE host_id=$H ORDER BY service_id;"
run "service ack" vantor4 "$(fill "$F_SERVICE_ACK" vantor4 $H 1 1714557600000006)"
expect "only that service acknowledged" vantor4 $'1\t1\n2\t0' "
  SELECT service_id, problem_has_been_acknowledged FROM vantor4.service_status WHERE host_id=$H ORDER BY 1;"

# The purge drops rows flagged deleted whose next check is over ten intervals overdue.
expect "purge of deleted status rows" vantor4 $'0\t2' "
  START TRANSACTION;
  UPDATE vantor4.host_status SET next_check=NOW() - INTERVAL 2 HOUR, check_interval=5 WHERE host_id=$H;
  UPDATE vantor4.service_status SET deleted=1, check_interval=5,
         next_check=IF(service_id=1, NOW() - INTERVAL 2 HOUR, NOW() - INTERVAL 10 MINUTE) WHERE host_id=$H;
  $(fill "$F_PURGE_HOSTS" vantor4)
  $(fill "$F_PURGE_SERVICES" vantor4)
  SELECT (SELECT COUNT(*) FROM vantor4.host_status WHERE host_id=$H),
         (SELECT GROUP_CONCAT(service_id) FROM vantor4.service_status WHERE host_id=$H);
  ROLLBACK;"

# --- per-host history tables -----------------------------------------------------------------

out=$("$create_host_tables" $H --no-defaults --socket="$sock" -uroot 2>&1) && ok || bad "create-host-tables.sh: $out"
run "vt_create_host_tables again" vantor4 "CALL vantor4.vt_create_host_tables($H);"
refuse "vt_create_host_tables refuses a negative id" vantor4 1644 "CALL vantor4.vt_create_host_tables(-1);"
expect "history tables carry the template indexes" vantor4 \
  $'host_state_change_990001\thost_state_change_time\tentry_time_ms\nservice_state_change_990001\tservice_state_change_service_time\tservice_id,entry_time_ms\nservice_state_change_990001\tservice_state_change_time\tentry_time_ms' "
  SELECT table_name, index_name, GROUP_CONCAT(column_name ORDER BY seq_in_index)
    FROM information_schema.statistics
   WHERE table_schema='vantor4' AND table_name IN ('host_state_change_$H', 'service_state_change_$H')
   GROUP BY table_name, index_name ORDER BY 1, 2;"

# Rows arrive out of time order; the latest by entry_time_ms is what the comparison reads.
run "host history rows" vantor4 "
  $(fill "$F_HOST_HISTORY" vantor4 $H "'2024-05-01 12:00:00'" 1 0 1 "'DOWN - it\\'s gone'" 3 NULL NULL NULL 1714564800000)
  $(fill "$F_HOST_HISTORY" vantor4 $H "'2024-05-01 12:10:00'" 0 1 1 "'UP'" 0 NULL "'Downtime - Author: admin'" "'long\\ntext'" 1714565400250)
  $(fill "$F_HOST_HISTORY" vantor4 $H "'2024-05-01 12:05:00'" 1 1 3 NULL 3 NULL NULL NULL 1714565100000)
  $(fill "$F_HOST_HISTORY" vantor4 $H NULL 1 0 2 NULL 3 NULL NULL NULL 999)
  $(fill "$F_HOST_INITIAL" vantor4 $H "'2024-05-01 11:00:00'" 0 1 1 "'PING OK'" 0 NULL 1714561200000)"
expect "host last state" vantor4 $'0\t1\t1' "$(fill "$F_HOST_LAST" $H)"
expect "host history columns" vantor4 $'5\t1\t1\tDowntime - Author: admin' "
  SELECT COUNT(*), SUM(initial_log_state), SUM(entry_time IS NULL), MAX(comment) FROM host_state_change_$H;"

batch=$(fill "$F_SERVICE_TUPLE" "'2024-05-01 11:00:00'" 1 0 1 1 "'OK - load 0.1'" 0 NULL 1714561200000)
batch+=,$(fill "$F_SERVICE_TUPLE" "'2024-05-01 11:00:00'" 2 1 0 2 "'WARNING - 85%'" 4 "'/ 85%'" 1714561200000)
batch+=,$(fill "$F_SERVICE_TUPLE" "'2024-05-01 11:00:00'" 3 0 1 1 NULL 0 NULL 1714561200000)
run "service initial batch" vantor4 "$(fill "$F_SERVICE_INITIAL" vantor4 $H "$batch")"
run "service history row" vantor4 \
  "$(fill "$F_SERVICE_HISTORY" vantor4 $H "'2024-05-01 12:00:00'" 2 2 1 3 "'DISK CRITICAL'" 4 NULL "'ack - Author: admin / Admin - Expires on: 2030-01-31 18:00:00'" NULL 1714564800000)"
expect "service last state per service" vantor4 $'2\t1\t3' "$(fill "$F_SERVICE_LAST" $H 2)"
expect "service last state of unchanged service" vantor4 $'0\t1\t1' "$(fill "$F_SERVICE_LAST" $H 3)"
expect "service history rows" vantor4 $'4\t3' "SELECT COUNT(*), SUM(initial_log_state) FROM service_state_change_$H;"
refuse "history of a host without tables" vantor4 1146 \
  "$(fill "$F_HOST_HISTORY" vantor4 990002 "'2024-05-01 12:00:00'" 1 0 1 NULL 3 NULL NULL NULL 1714564800000)"

# --- comments ------------------------------------------------------------------------------

C1=99000100001; C2=99000100002; C3=99000100003
host_comment() {  # COMMENT_ID CONTACT TEXT EVENT_USEC
  fill "$F_HOST_COMMENT" vantor4 $H "'2024-05-01 12:00:00'" "$2" "$3" 1 0 4 1 "'2030-01-31 18:00:00'" "$1" \
    vantor4 host "$1" "$4"
}
run "host comment" vantor4 "$(host_comment $C1 -2 "'disk replaced'" 1714557600000000)"
refuse "same comment id twice is a duplicate" vantor4 1062 "$(host_comment $C1 5 "'again'" 1714557600000001)"
run "service comment" vantor4 \
  "$(fill "$F_SERVICE_COMMENT" vantor4 $H 1 NULL 0 "''" 0 1 1 0 NULL $C2 vantor4 service $C2 1714557600000000)"
expect "comment rows" vantor4 $'-2\tdisk replaced\t1\t2030-01-31 18:00:00\n0\t\t0\tNULL' "
  SELECT contact_id, comment_data, expires, expire_time FROM vantor4.host_comment WHERE comment_id=$C1
  UNION ALL
  SELECT contact_id, comment_data, expires, expire_time FROM vantor4.service_comment WHERE comment_id=$C2;"
run "comment deletes" vantor4 \
  "$(fill "$F_COMMENT_DELETE" vantor4 0 $C1 1714557700000000) $(fill "$F_COMMENT_DELETE" vantor4 1 $C2 1714557700000000)"
expect "comments gone, their deletions marked" vantor4 $'0\t1714557700' "
  SELECT (SELECT COUNT(*) FROM vantor4.host_comment WHERE host_id=$H) + (SELECT COUNT(*) FROM vantor4.service_comment WHERE host_id=$H),
         (SELECT UNIX_TIMESTAMP(deleted_time) FROM vantor4.host_comment_deleted WHERE comment_id=$C1);"
run "an add older than the deletion" vantor4 "$(host_comment $C1 -2 "'late'" 1714557600000000)"
run "a deletion that arrives first" vantor4 "$(fill "$F_COMMENT_DELETE" vantor4 0 $C3 1714557700000000)"
run "its add arriving later" vantor4 "$(host_comment $C3 -2 "'late'" 1714557600000000)"
run "an older deletion arriving late" vantor4 "$(fill "$F_COMMENT_DELETE" vantor4 0 $C3 1714557650000000)"
expect "late adds stay out; the newest deletion is kept" vantor4 $'0\t1714557700000000' "
  SELECT (SELECT COUNT(*) FROM vantor4.host_comment WHERE host_id=$H),
         (SELECT event_usec FROM vantor4.host_comment_deleted WHERE comment_id=$C3);"
run "an add of a reused id after the deletion" vantor4 "$(host_comment $C3 -2 "'reused'" 1714557800000000)"
expect "the newer add goes in" vantor4 "reused" "SELECT comment_data FROM vantor4.host_comment WHERE comment_id=$C3;"
sql vantor4 "DELETE FROM vantor4.host_comment WHERE host_id=$H;
  DELETE FROM vantor4.host_comment_deleted WHERE comment_id IN ($C1, $C3);
  DELETE FROM vantor4.service_comment_deleted WHERE comment_id=$C2;" >/dev/null

# --- downtimes: each downtime keeps the row of its newest event ----------------------------

D1=99000101; D2=99000102
host_downtime_event() {  # TYPE DOWNTIME_ID EVENT_USEC [END]
  fill "$F_HOST_DT" vantor4 "$2" $H "$1" "'2024-05-01 12:00:00'" 0 "'maintenance - Author: admin / Admin'" \
    "'2024-05-01 13:00:00'" "${4:-'2024-05-01 14:00:00'}" 1 3600 0 1 "$3"
}
run "host downtime added" vantor4 "$(host_downtime_event 1100 $D1 1714557600000000)"
run "host downtime started" vantor4 "$(host_downtime_event 1103 $D1 1714561200000000)"
run "other host downtime loaded" vantor4 "$(host_downtime_event 1102 $D2 1714557600000000)"
expect "host downtime rows" vantor4 $'99000101\t1103\t2024-05-01 14:00:00\n99000102\t1102\t2024-05-01 14:00:00' "
  SELECT downtime_id, type, end_time FROM vantor4.host_downtime WHERE host_id=$H ORDER BY 1;"
run "host downtime stopped" vantor4 "$(host_downtime_event 1104 $D1 1714568400000000 "FROM_UNIXTIME(1714568400)")"
run "its start arriving again" vantor4 "$(host_downtime_event 1103 $D1 1714561200000000)"
run "its add arriving again" vantor4 "$(host_downtime_event 1100 $D1 1714557600000000)"
expect "stopped downtime ends at the stop" vantor4 $'1\t1104\t1' "
  SELECT COUNT(*), MAX(type), MAX(end_time) = FROM_UNIXTIME(1714568400)
    FROM vantor4.host_downtime WHERE host_id=$H AND downtime_id=$D1;"

service_downtime_event() {  # TYPE SERVICE_ID EVENT_USEC [END]
  fill "$F_SERVICE_DT" vantor4 $D1 $H "$2" "$1" "'2024-05-01 12:00:00'" 7 NULL NULL "${4:-NULL}" 0 7200 $D2 0 "$3"
}
run "service downtime stopped before its add arrives" vantor4 \
  "$(service_downtime_event 1104 2 1714568400000000 "FROM_UNIXTIME(1714568400)")"
run "service downtime added" vantor4 "$(service_downtime_event 1100 1 1714557600000000)"
run "service downtime started" vantor4 "$(service_downtime_event 1103 1 1714561200000000)"
run "same downtime id on another service, added late" vantor4 "$(service_downtime_event 1100 2 1714557600000000)"
expect "service downtime rows" vantor4 $'1\t1103\t99000102\n2\t1104\t99000102' "
  SELECT service_id, type, triggered_by FROM vantor4.service_downtime WHERE host_id=$H ORDER BY 1;"

# --- flapping and notifications ------------------------------------------------------------

run "host flapping" vantor4 "
  $(fill "$F_HOST_FLAP" vantor4 "'2024-05-01 12:00:00'" 1000 $H 18446744073709551615 12.5 30 20)
  $(fill "$F_HOST_FLAP" vantor4 NULL 1001 $H 0 5.25 30 20)"
run "service flapping" vantor4 "$(fill "$F_SERVICE_FLAP" vantor4 "'2024-05-01 12:00:00'" 1000 $H 1 77 33.3333 30 20)"
expect "flapping rows" vantor4 $'2\t17.750\t1\t33.333' "
  SELECT COUNT(*), ROUND(SUM(percent_change), 3),
         (SELECT COUNT(*) FROM vantor4.service_flapping WHERE host_id=$H),
         (SELECT ROUND(percent_change, 3) FROM vantor4.service_flapping WHERE host_id=$H)
    FROM vantor4.host_flapping WHERE host_id=$H;"

run "host notification" vantor4 "$(fill "$F_HOST_NOTIFY" vantor4 "'2024-05-01 12:00:00'" $H -2 -2 NULL 0 1 "'DOWN - it\\'s gone'" 0 NULL 0 "'2024-05-01 12:00:00'" NULL)"
run "service notification" vantor4 "$(fill "$F_SERVICE_NOTIFY" vantor4 "'2024-05-01 12:00:00'" $H 1 12 34 "'admin!5'" 1 2 "'CRITICAL'" -2 "'on it'" 1 "'2024-05-01 12:00:00'" "'2024-05-01 12:00:01'")"
expect "notification rows" vantor4 $'-2\tNULL\t0\n34\t2024-05-01 12:00:01\t-2' "
  SELECT command_id, end_time, ack_contact_id FROM vantor4.host_notification WHERE host_id=$H
  UNION ALL
  SELECT command_id, end_time, ack_contact_id FROM vantor4.service_notification WHERE host_id=$H;"

# --- command queue: the relay reads column 1 as id and column 3 as command -------------------

run "queue a command" vantor4 "INSERT INTO vantor4.vantor_cmd (command) VALUES ('[1714564800] SCHEDULE_FORCED_HOST_CHECK;$MARK;1714564800');"
rows=$(sql vantor4 "$F_CMD_SELECT") || bad "select vantor_cmd: $rows"
cmd_id=$(awk -F'\t' -v m="$MARK" 'index($3, m) { print $1 }' <<<"$rows")
if [ -n "$cmd_id" ] && awk -F'\t' -v id="$cmd_id" '$1 == id && $2 ~ /^[0-9]{4}-/ { f = 1 } END { exit !f }' <<<"$rows"; then
  ok
else
  bad "vantor_cmd row lacks id, default entry_time or command: [$rows]"
fi
run "delete relayed command" vantor4 "$(fill "$F_CMD_DELETE" "$cmd_id")"
expect "command gone" vantor4 0 "SELECT COUNT(*) FROM vantor4.vantor_cmd WHERE command LIKE '%$MARK%';"

# --- configuration lists (rolled back: other tests load them) --------------------------------

# has_line NAME TEXT LINE: TEXT must contain LINE as a whole line.
has_line() { grep -qxF -- "$3" <<<"$2" && ok || bad "$1: no line [$3] in [$2]"; }

cfg=$(sql vtcfg "
  START TRANSACTION;
  INSERT INTO nagios_contacts (contact_id, contact_name, alias) VALUES (990001, '$MARK', 'Schema Check'), (990002, 'no-alias-$H', NULL);
  INSERT INTO nagios_commands (command_id, command_name) VALUES (990001, 'notify-$MARK');
  INSERT INTO nagios_hostgroups (hostgroup_name) VALUES ('hg-$MARK');
  INSERT INTO nagios_servicegroups (servicegroup_name) VALUES ('sg-$MARK');
  DELETE FROM nagios_cgi;
  INSERT INTO nagios_cgi (authorized_for_all_hosts, authorized_for_all_services) VALUES ('$MARK,admin', 'admin');
  DELETE FROM job_servers;
  INSERT INTO job_servers (host) VALUES ('gearman-$H.local'), (NULL);
  SELECT servicegroup_id, servicegroup_name FROM nagios_servicegroups;
  SELECT hostgroup_id, hostgroup_name FROM nagios_hostgroups;
  SELECT contact_id,contact_name,alias FROM nagios_contacts;
  SELECT command_id,command_name FROM nagios_commands;
  select authorized_for_all_hosts from nagios_cgi;
  select authorized_for_all_services from nagios_cgi;
  $F_JOB_SERVERS
  ROLLBACK;") || bad "configuration list queries: $cfg"
has_line "contact row" "$cfg" $'990001\t'"$MARK"$'\tSchema Check'
has_line "contact without alias" "$cfg" $'990002\tno-alias-990001\tNULL'
has_line "command row" "$cfg" $'990001\tnotify-'"$MARK"
grep -qE $'^[0-9]+\thg-'"$MARK"'$' <<<"$cfg" && ok || bad "host group with assigned id: [$cfg]"
grep -qE $'^[0-9]+\tsg-'"$MARK"'$' <<<"$cfg" && ok || bad "service group with assigned id: [$cfg]"
has_line "authorized for all hosts" "$cfg" "$MARK,admin"
# The daemon takes the host name from the second column of SELECT * and the port from the third;
# a port not given is NULL, the daemon's configured job-server port.
grep -qE $'^[0-9]+\tgearman-990001.local\tNULL$' <<<"$cfg" && ok || bad "job server row: [$cfg]"
grep -qE $'^[0-9]+\tNULL\tNULL$' <<<"$cfg" && ok || bad "job server without host: [$cfg]"
expect "configuration rolled back" vtcfg 0 "SELECT COUNT(*) FROM nagios_contacts WHERE contact_id IN (990001, 990002);"

# --- metric registry and performance values ------------------------------------------------

new_metric() {  # SERVICE LABEL UNIT MAX MIN
  fill "$F_METRIC_NEW" "$H" "$1" "$2" "$3" "$4" "$5" "$3" "$4" "$5"
}
run "register metric" vtcfg "$(new_metric 1 load1 '' NULL "'0.000'")"
run "second registration of the same metric" vtcfg "$(new_metric 1 load1 '' NULL "'0.000'")"
run "label differing in case only" vtcfg "$(new_metric 1 Load1 '' NULL NULL)"
run "label with a trailing blank" vtcfg "$(new_metric 1 'load1 ' '' NULL NULL)"
long_label=$(printf 'C:\\\\%.0s' $(seq 1 37))   # 37 doubled backslash pairs: 148 characters
run "long label with doubled backslashes" vtcfg "$(new_metric 2 "$long_label" '%' "'100.000'" "'0.000'")"
m1=$(sql vtcfg "$(fill "$F_METRIC_FIND" $H 1 load1)" | cut -f1)
expect "metric found with names from the status table" vtcfg "$m1"$'\t'"$MARK"$'\tload' "$(fill "$F_METRIC_FIND" $H 1 load1)"
expect "one row per host, service and label" vtcfg $'4\t1' "
  SELECT COUNT(*), SUM(metric='load1') FROM vtcfg.service_metric WHERE host_id=$H;"
run "changed unit and range of a known metric" vtcfg \
  "$(fill "$F_METRIC_UPDATE" "$m1" $H 1 load1 ms "'100.000'" "'0.000'" ms "'100.000'" "'0.000'")"
expect "metric updated in place" vtcfg "$m1"$'\tms\t100\t0\t4' "
  SELECT metric_id, unit, value_max, value_min, (SELECT COUNT(*) FROM vtcfg.service_metric WHERE host_id=$H)
    FROM vtcfg.service_metric WHERE host_id=$H AND service_id=1 AND metric='load1';"
expect "registry load" vtcfg $'4\t1\t2' "
  SELECT COUNT(*), MIN(service_id), MAX(service_id) FROM ($(sed 's/;$//' <<<"$F_METRIC_LOAD")) l WHERE host_id=$H;"
m2=$(sql vtcfg "SELECT metric_id FROM vtcfg.service_metric WHERE host_id=$H AND service_id=2;")

# The first value of a host fails, creates the host's table from the template, then succeeds.
perf1=$(fill "$F_PERF" $H 1714564800 1 "$m1" 0.5 "'5.000'" "'10.000'" NULL NULL NULL)
refuse "value before the host's table exists" vtperf 1146 "$perf1"
run "create host's value table" vtperf "$(fill "$F_PERF_TABLE" $H)"
run "value insert" vtperf "$perf1"
run "value of a host check (service id -1)" vtperf "$(fill "$F_PERF" $H 1714564800 -1 "$m2" 45 NULL NULL NULL NULL NULL)"
run "vt_create_perf_table on an existing table" vtperf "CALL vtperf.vt_create_perf_table($H);"
expect "values stored" vtperf $'-1\t45\tNULL\n1\t0.5\t5' "
  SELECT service_id, perf_value, warning FROM vtperf.service_perf_$H ORDER BY service_id;"
run "vt_create_perf_table for a new host" vtperf "DROP TABLE vtperf.service_perf_$H; CALL vtperf.vt_create_perf_table($H);"
run "value into the table made by the procedure" vtperf "$perf1"
expect "value table carries the template index" vtperf "service_id,metric_id,entry_time" "
  SELECT GROUP_CONCAT(column_name ORDER BY seq_in_index) FROM information_schema.statistics
   WHERE table_schema='vtperf' AND table_name='service_perf_$H' AND index_name='service_perf_metric_time';"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
