#!/usr/bin/env bash
# Runs the README's quick start as the README prints it: the sh blocks between its quickstart
# marks, in order, as one script, in a checkout of this source, on a fresh install root, with the
# released engine, until the engine's objects have their rows. It runs in a mount and network
# namespace of its own, so that nothing of the host changes. What is replaced, and nothing else:
#   - the install root /usr/local/vantor by an empty folder (bind-mounted over it), which the
#     package built by the quick start fills;
#   - the account 'vantor' by one of this test's own, so that it holds only the rights the
#     quick start grants (the private server's 'vantor' is the other tests');
#   - the database server by the private one: mariadb is its client (as its root, over its
#     socket, first on the PATH), and the db.php the quick start writes says localhost, which
#     the client library takes to mean that socket through MYSQL_UNIX_PORT;
#   - /etc/default/gearman-job-server, the engine's configuration and the database server's
#     configuration folder by copies in a work folder; gearmand's folders below /var by folders
#     of the work folder (bind-mounted);
#   - apt-get: the build dependencies are this machine's; the package is unpacked into the
#     install root and its postinst run, as dpkg would (with root as the engine's group);
#   - systemctl by what the units do: mariadb is left as it runs, gearmand started as Debian's
#     unit starts it (its PARAMS, as user gearman), the daemon and the engine started.
# cmake and cpack run as written. After the quick start's own check (which must print no
# finding), the test forces the first checks through the command pipe, waits for the rows the
# README promises and checks what the other steps left behind.
# usage: quickstart_test.sh SOURCE_DIR BUILD_DIR VANTOR_ROOT STATE_DIR
set -u
src=$1 build=$2 state=$4
readme="$src/README.md"
release=1.5.2
installed=/usr/local/vantor
tmp=$(mktemp -d "$build/quickstart.XXXXXX")
chmod 0755 "$tmp"
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
sql() { mariadb --no-defaults --socket="$state/mysql.sock" -uroot -N -B -e "$1"; }
made_mountpoint=""
cleanup() {
  sql "DROP USER IF EXISTS 'vtquick'@'localhost'" 2>/dev/null
  [ -n "$made_mountpoint" ] && rmdir "$installed" 2>/dev/null
  [ "$fails" -eq 0 ] && rm -rf "$tmp"
}
trap cleanup EXIT

# The blocks, as printed (the README indents them under their step).
awk '/<!-- quickstart begin/ {on=1; next} /<!-- quickstart end/ {on=0}
     on && /^ *```sh$/ {code=1; next} on && code && /^ *```$/ {code=0; next}
     on && code {sub(/^   /, ""); print}' "$readme" > "$tmp/quickstart.sh"
[ -s "$tmp/quickstart.sh" ] || { echo "FAIL: no quick-start blocks in $readme"; exit 1; }
for step in "apt-get install" "cpack -G DEB" "schema.sql" "GRANT" "db.php" "gearman-job-server" \
            "broker_module=" "command_file=" "--check"; do
  grep -qF -- "$step" "$tmp/quickstart.sh" || fail "the quick start lacks $step"
done

# The released engine, built once as the real-engine group builds it.
engine_prefix=/var/tmp/vantor-naemon/$release/stock
if [ ! -x "$engine_prefix/bin/naemon" ]; then
  shared=$(realpath -m "$src/../shared/naemon")
  [ -d "$shared" ] || { echo "FAIL: the engine's release source $shared is missing (expected beside the clone)"; exit 1; }
  "$shared/build.sh" "$engine_prefix" stock "$release" >"$tmp/engine-build.log" 2>&1 \
    || { tail -n 30 "$tmp/engine-build.log"; echo "FAIL: building the engine $release"; exit 1; }
fi

# A checkout of this source, without its builds.
mkdir -p "$tmp/checkout"
tar -C "$src" --exclude=./build --exclude=./.git -cf - . | tar -C "$tmp/checkout" -xf - \
  || { echo "FAIL: copying the source"; exit 1; }

# The host's folders the namespace covers: the install root (made here as a mount point when the
# host has none), gearmand's queue and log folders.
if [ ! -d "$installed" ]; then mkdir -p "$installed" && made_mountpoint=1; fi
mkdir -p "$tmp/root" "$tmp/gearman-lib" "$tmp/gearman-log" "$tmp/gearman-run" "$tmp/engine/checkresults" \
         "$tmp/etc/naemon" "$tmp/etc/mysql/mariadb.conf.d" "$tmp/default" "$tmp/bin"
chown gearman:gearman "$tmp/gearman-lib" "$tmp/gearman-log" "$tmp/gearman-run"
for d in /var/lib/gearman /var/log/gearman-job-server; do
  [ -d "$d" ] || { echo "FAIL: $d is missing (is gearman-job-server installed?)"; exit 1; }
done
printf '#!/bin/sh\nexec /usr/bin/mariadb --no-defaults --socket="%s" -uroot "$@"\n' "$state/mysql.sock" > "$tmp/bin/mariadb"
chmod 0755 "$tmp/bin/mariadb"
cp /etc/default/gearman-job-server "$tmp/default/gearman-job-server" 2>/dev/null ||
  printf 'PARAMS="--listen=localhost \\\n --daemon \\\n --log-file=/var/log/gearman-job-server/gearmand.log"\n' \
    > "$tmp/default/gearman-job-server"
# The engine's configuration as an admin has it before the quick start: its own files, the
# time period the example's objects name, no module.
cat > "$tmp/etc/naemon/naemon.cfg" <<CFG
log_file=$tmp/engine/naemon.log
cfg_file=$tmp/etc/naemon/timeperiods.cfg
object_cache_file=$tmp/engine/objects.cache
precached_object_file=$tmp/engine/objects.precache
status_file=$tmp/engine/status.dat
state_retention_file=$tmp/engine/retention.dat
lock_file=$tmp/engine/naemon.pid
temp_file=$tmp/engine/naemon.tmp
temp_path=$tmp/engine
check_result_path=$tmp/engine/checkresults
query_socket=$tmp/engine/naemon.qh
naemon_user=root
naemon_group=root
check_external_commands=1
enable_notifications=1
use_syslog=0
CFG
(say_tag=quickstart; source "$src/tests/real_engine/helpers.sh"; timeperiod_24x7) > "$tmp/etc/naemon/timeperiods.cfg"
rm -f /tmp/vantor-example-notifications

sed -e "s|'vantor'@'localhost'|'vtquick'@'localhost'|g" \
    -e "s|\\\\\$DBUSER = 'vantor'|\\\\\$DBUSER = 'vtquick'|" \
    -e "s|/etc/default/gearman-job-server|$tmp/default/gearman-job-server|g" \
    -e "s|/etc/naemon/naemon.cfg|$tmp/etc/naemon/naemon.cfg|g" \
    -e "s|/etc/mysql/mariadb.conf.d/|$tmp/etc/mysql/mariadb.conf.d/|g" \
    "$tmp/quickstart.sh" > "$tmp/run.sh"
cat > "$tmp/prelude.sh" <<PRE
set -e
apt-get() {
  echo "apt-get \$*" >> "$tmp/skipped"
  local a
  for a in "\$@"; do
    case "\$a" in *.deb)
      rm -rf "$tmp/deb" && mkdir -p "$tmp/deb" && dpkg-deb -x "\$a" "$tmp/deb/files" && dpkg-deb -e "\$a" "$tmp/deb/control" &&
        cp -a "$tmp/deb/files$installed/." "$installed/" &&
        VANTOR_ENGINE_GROUP=root VANTOR_ENGINE_CONFIG="$tmp/etc/naemon/naemon.cfg" "$tmp/deb/control/postinst" configure
    esac
  done
}
systemctl() {
  echo "systemctl \$*" >> "$tmp/skipped"
  case "\$*" in
    "restart gearman-job-server")
      ( . "$tmp/default/gearman-job-server"
        runuser -u gearman -- /usr/sbin/gearmand --pid-file="$tmp/gearman-run/gearmand.pid" \$PARAMS ) ;;
    "enable --now vantorconnector") "$installed/bin/vantorconnector" ;;
    "restart naemon") naemon --allow-root --daemon "$tmp/etc/naemon/naemon.cfg" ;;
  esac
}
export MYSQL_UNIX_PORT="$state/mysql.sock"
export PKG_CONFIG_PATH="$engine_prefix/lib/pkgconfig"
export PATH="$tmp/bin:$engine_prefix/bin:\$PATH"
PRE
# After the quick start, in the same namespace: the first checks forced (the README waits up
# to a minute for them), the rows waited for, then everything it started stopped.
cat > "$tmp/after.sh" <<AFTER
set +e
export MYSQL_UNIX_PORT="$state/mysql.sock" PATH="$tmp/bin:$engine_prefix/bin:\$PATH"
stop_all() {
  for f in "$tmp/engine/naemon.pid" "$installed/var/run/vantorconnector.lock" "$tmp/gearman-run/gearmand.pid"; do
    pid=\$(head -c 16 "\$f" 2>/dev/null | tr -dc 0-9)
    [ -n "\$pid" ] && kill -TERM "\$pid" 2>/dev/null
    for _ in \$(seq 1 100); do [ -n "\$pid" ] && kill -0 "\$pid" 2>/dev/null || break; sleep 0.1; done
  done
}
trap stop_all EXIT
echo "=== quick start done"
for c in "SCHEDULE_FORCED_HOST_CHECK;db1" "SCHEDULE_FORCED_SVC_CHECK;db1;example" "SCHEDULE_FORCED_SVC_CHECK;db1;example-warning"; do
  timeout 5 sh -c 'printf "[%s] %s;%s\n" "\$(date +%s)" "\$1" "\$(date +%s)" > "\$2"' _ "\$c" "$installed/var/rw/vantor.cmd"
done
q() { mariadb -N -B -e "\$1"; }
for _ in \$(seq 1 180); do
  [ "\$(q "SELECT COUNT(*) FROM vantor4.service_status s JOIN vtcfg.service_registry r USING (host_id, service_id)
           WHERE r.host_name='db1' AND r.service_description IN ('example', 'example-warning')")" = 2 ] &&
    [ "\$(q "SELECT COUNT(*) FROM vantor4.service_notification n JOIN vtcfg.nagios_contacts c USING (contact_id)
             JOIN vtcfg.nagios_commands m USING (command_id) WHERE c.contact_name='vantor-example-admin'
             AND m.command_name='vantor-example-notify'")" -ge 1 ] &&
    grep -q "PROBLEM db1/example-warning is WARNING" /tmp/vantor-example-notifications 2>/dev/null && break
  sleep 0.5
done
echo "=== rows"
q "SELECT r.host_name, r.service_description, s.current_state, s.plugin_output FROM vantor4.service_status s
   JOIN vtcfg.service_registry r USING (host_id, service_id) WHERE r.host_name='db1'"
q "SELECT r.host_name, s.current_state, s.plugin_output FROM vantor4.host_status s
   JOIN vtcfg.host_registry r USING (host_id) WHERE r.host_name='db1'"
q "SELECT 'notification', c.contact_name, m.command_name, n.output FROM vantor4.service_notification n
   JOIN vtcfg.nagios_contacts c USING (contact_id) JOIN vtcfg.nagios_commands m USING (command_id)
   WHERE c.contact_name='vantor-example-admin'"
echo "=== queues"
(exec 3<>/dev/tcp/127.0.0.1/4730 && echo status >&3 && timeout 1 cat <&3) 2>&1
echo "=== counters"
(exec 3<>/dev/tcp/127.0.0.1/9473 && printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && timeout 2 cat <&3) 2>&1 | grep -E '^vantor_(jobs|statements|child)' | grep -v ' 0$'
echo "=== delivered"
cat /tmp/vantor-example-notifications 2>/dev/null
ls -l /tmp/vantor-example-notifications 2>/dev/null
AFTER
cat "$tmp/prelude.sh" "$tmp/run.sh" > "$tmp/all.sh"

# The db1 of earlier runs goes, so that its rows must be made anew.
for id in $(sql "SELECT host_id FROM vtcfg.host_registry WHERE host_name='db1'"); do
  sql "DELETE FROM vantor4.host_status WHERE host_id=$id; DELETE FROM vantor4.service_status WHERE host_id=$id;
       DELETE FROM vantor4.service_notification WHERE host_id=$id" >/dev/null
done
sql "DELETE FROM vtcfg.host_registry WHERE host_name='db1'; DELETE FROM vtcfg.service_registry WHERE host_name='db1';
     DELETE FROM vtcfg.nagios_contacts WHERE contact_name='vantor-example-admin';
     DELETE FROM vtcfg.nagios_commands WHERE command_name LIKE 'vantor-example-%'" >/dev/null

cd "$tmp/checkout" || exit 1
start=$(date +%s)
unshare --mount --net --propagation private bash -c '
  ip link set lo up && mount --bind "$1" "$2" &&
  mount --bind "$3" /var/lib/gearman && mount --bind "$4" /var/log/gearman-job-server || exit 90
  bash "$5"; rc=$?
  echo "quick start: exit $rc after $(($(date +%s) - $7)) s"
  bash "$6"
  exit $rc' sh "$tmp/root" "$installed" "$tmp/gearman-lib" "$tmp/gearman-log" "$tmp/all.sh" "$tmp/after.sh" "$start" \
  >"$tmp/out.log" 2>&1
rc=$?
echo "quick start and first rows: $(($(date +%s) - start)) s"
cat "$tmp/out.log"
[ "$rc" -eq 0 ] || fail "the quick start ended with status $rc (its last command is the check)"
grep -q "^0 errors, 0 warnings$" "$tmp/out.log" || fail "the check found something to do"
sed -n '/^=== rows/,$p' "$tmp/out.log" > "$tmp/rows"
grep -qP '^db1\texample\t0\tOK - example' "$tmp/rows" || fail "no OK row for db1/example"
grep -qP '^db1\texample-warning\t1\tWARNING - example' "$tmp/rows" || fail "no WARNING row for db1/example-warning"
grep -qP '^db1\t0\tOK - example' "$tmp/rows" || fail "no host row for db1"
grep -qP '^notification\tvantor-example-admin\tvantor-example-notify\t' "$tmp/rows" \
  || fail "no notification row with the contact's and the command's ids"
grep -q "PROBLEM db1/example-warning is WARNING" "$tmp/rows" || fail "the notification command did not run"
grep -q ' vtuser ' "$tmp/rows" || fail "the notification command did not run as vtuser"

# What the steps left behind.
grep -q -- '--daemon' "$tmp/default/gearman-job-server" && grep -q -- '--log-file=' "$tmp/default/gearman-job-server" \
  || fail "the gearmand line lost Debian's --daemon or --log-file: $(cat "$tmp/default/gearman-job-server")"
grep -q -- '--queue-type=libsqlite3' "$tmp/default/gearman-job-server" || fail "gearmand has no persistent queue"
[ -s "$tmp/gearman-lib/queue.sqlite" ] || fail "gearmand kept no queue file in /var/lib/gearman"
grep -qx 'innodb_buffer_pool_size = 1G' "$tmp/etc/mysql/mariadb.conf.d/60-vantor.cnf" \
  && grep -qx '\[mariadbd\]' "$tmp/etc/mysql/mariadb.conf.d/60-vantor.cnf" \
  || fail "the database server's settings are not in place, scaled: $(cat "$tmp/etc/mysql/mariadb.conf.d/60-vantor.cnf")"
sql "SHOW GRANTS FOR 'vtquick'@'localhost'" | grep -E 'ON \*\.\*' | grep -v 'GRANT USAGE' && fail "rights on *.*"
rm -f /tmp/vantor-example-notifications

echo "$fails failed"
[ "$fails" -eq 0 ]
