#!/usr/bin/env bash
# Starts and stops the private MariaDB and gearmand servers that the tests and the demo use.
# usage: test-services.sh start|stop|mariadb-start|mariadb-stop|gearmand-start|gearmand-stop|notify-user
#                         STATE_DIR VANTOR_ROOT DB_PORT GEARMAN_PORT
# MariaDB runs with small settings, as the tests want them. With VT_MARIADB_CNF naming a server
# configuration file (the benchmarks use etc/mariadb/vantor.cnf), it runs with that file's
# settings instead; a running server started the other way is restarted.
set -u
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"  # the servers live in sbin
cmd=${1:?command}; state=${2:?state dir}; root=${3:?install root}
dbport=${4:?db port}; gmport=${5:?gearman port}
# Absolute from here on: mariadb-install-db resolves a relative data directory against its
# own base directory, not ours.
state=$(realpath -m -- "$state"); root=$(realpath -m -- "$root")
here=$(cd "$(dirname "$0")" && pwd)
schema="$here/../sql/schema.sql"
sock="$state/mysql.sock"
DB_USER=vantor
DB_PASS=vantor-test

# A process that has ended but was not reaped yet (a zombie: the init of a container may reap
# late) is not alive: a server killed with SIGKILL must be started again at once.
running() { kill -0 "$1" 2>/dev/null && [ "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" != Z ]; }
alive() { [ -f "$1" ] && running "$(cat "$1")"; }

wait_gone() {  # pidfile: waits up to 20 s for the process to end, then kills it
  local pid; pid=$(cat "$1" 2>/dev/null) || return 0
  for _ in $(seq 1 200); do running "$pid" || { rm -f "$1"; return 0; }; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null; rm -f "$1"
}

# The settings the server runs with: "small", or the absolute path of VT_MARIADB_CNF (and a
# checksum of its content, so that an edited file restarts the server too).
sizing=small cnf=""
if [ -n "${VT_MARIADB_CNF:-}" ]; then
  [ -r "$VT_MARIADB_CNF" ] || { echo "VT_MARIADB_CNF: cannot read $VT_MARIADB_CNF" >&2; exit 1; }
  cnf=$(realpath -- "$VT_MARIADB_CNF")
  sizing="$cnf $(cksum < "$cnf")"
fi

mariadb_start() {
  mkdir -p "$state"
  if alive "$state/mysql.pid" && [ "$(cat "$state/mysql.sizing" 2>/dev/null || echo small)" != "$sizing" ]; then
    mariadb_stop
  fi
  alive "$state/mysql.pid" || mariadb_launch || return 1
  mariadb_provision
}

mariadb_launch() {
  if [ ! -d "$state/mysql/mysql" ]; then
    mariadb-install-db --no-defaults --datadir="$state/mysql" --user=root \
      --auth-root-authentication-method=socket --skip-test-db >"$state/install-db.log" 2>&1 \
      || { echo "mariadb-install-db failed, see $state/install-db.log" >&2; return 1; }
  fi
  # The defaults file comes first: the server reads it, and only it, before the options here.
  local settings=(--no-defaults)
  [ "$sizing" = small ] || settings=(--defaults-file="$cnf")
  [ "$sizing" = small ] && settings+=(--innodb-buffer-pool-size=128M --innodb-flush-log-at-trx-commit=2
                                      --max-connections=500)
  echo "$sizing" > "$state/mysql.sizing"
  mariadbd "${settings[@]}" --datadir="$state/mysql" --socket="$sock" --port="$dbport" \
    --bind-address=127.0.0.1 --user=root --pid-file="$state/mysql.pid" \
    --log-error="$state/mysql.err" --skip-name-resolve >/dev/null 2>&1 &
  for _ in $(seq 1 300); do
    mariadb-admin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1 && break
    sleep 0.1
  done
  mariadb-admin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1 \
    || { echo "MariaDB did not start, see $state/mysql.err" >&2; return 1; }
}

# Schema, test user and the sandbox's db.php; safe to repeat on a running server.
mariadb_provision() {
  mariadb --no-defaults --socket="$sock" -uroot < "$schema" || return 1
  # A data folder kept from an earlier run was made by an earlier schema: bring it up to date
  # as an operator would (each script may run again).
  local up
  for up in "$(dirname "$schema")"/upgrade-*.sql; do
    [ -e "$up" ] || continue
    mariadb --no-defaults --socket="$sock" -uroot < "$up" || return 1
  done
  mariadb --no-defaults --socket="$sock" -uroot <<SQL || return 1
CREATE DATABASE IF NOT EXISTS vt_test;
CREATE USER IF NOT EXISTS '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASS';
CREATE USER IF NOT EXISTS '$DB_USER'@'localhost' IDENTIFIED BY '$DB_PASS';
GRANT ALL ON vantor4.* TO '$DB_USER'@'127.0.0.1', '$DB_USER'@'localhost';
GRANT ALL ON vtcfg.* TO '$DB_USER'@'127.0.0.1', '$DB_USER'@'localhost';
GRANT ALL ON vtperf.* TO '$DB_USER'@'127.0.0.1', '$DB_USER'@'localhost';
GRANT ALL ON vt_test.* TO '$DB_USER'@'127.0.0.1', '$DB_USER'@'localhost';
FLUSH PRIVILEGES;
SQL
  mkdir -p "$root/etc" "$root/var/delayed-messages" "$root/var/rw" "$root/var/run"
  # db.php holds the password: readable by its owner and group only, as installed.
  (umask 027; cat > "$root/etc/db.php" <<PHP
<?php
\$DBHOST = '127.0.0.1';
\$DBUSER = '$DB_USER';
\$DBPASS = '$DB_PASS';
\$DBPORT = '$dbport';
?>
PHP
  ) && chmod 0640 "$root/etc/db.php"
}

mariadb_stop() {
  alive "$state/mysql.pid" || { rm -f "$state/mysql.pid"; return 0; }
  kill "$(cat "$state/mysql.pid")" 2>/dev/null
  wait_gone "$state/mysql.pid"
}

# gearmand keeps its queues in an SQLite file, as a production job server should: queued jobs
# survive a crash or restart of the job server. The file goes to memory-backed /dev/shm where
# there is one (named after the port, which is private to this build): on disk every job costs
# a sync of the file, about a millisecond here, which would slow the suite tenfold; a crashed
# gearmand leaves the file behind all the same. The file holds every queued job in clear
# text: it and its journal stay in a folder of their own that only the job server's user may
# enter (0700), and are made 0600.
queue_dir="$state/gearmand-queue"
[ -d /dev/shm ] && [ -w /dev/shm ] && queue_dir="/dev/shm/vantor-test-gearmand-$gmport"
queue_db="$queue_dir/queue.sqlite"

gearmand_start() {
  mkdir -p "$state"
  alive "$state/gearmand.pid" && return 0
  # a folder someone else made (or a link) at that name is not ours to keep jobs in
  if [ -L "$queue_dir" ] || { [ -e "$queue_dir" ] && [ "$(stat -c %u "$queue_dir")" != "$(id -u)" ]; }; then
    echo "refusing $queue_dir: not a folder of user $(id -u); remove it" >&2; return 1
  fi
  mkdir -p "$queue_dir" && chmod 0700 "$queue_dir" || return 1
  for f in "$queue_db"*; do [ -f "$f" ] && chmod 0600 "$f"; done
  (umask 077; exec gearmand --listen=127.0.0.1 --port="$gmport" --pid-file="$state/gearmand.pid" \
    --log-file="$state/gearmand.log" --verbose=WARNING \
    --queue-type=libsqlite3 --libsqlite3-db="$queue_db" --daemon >/dev/null 2>&1)
  # It listens before it has written its pid file: wait for both. Reading back a large queue
  # after a crash takes a while.
  for _ in $(seq 1 300); do
    alive "$state/gearmand.pid" && (exec 3<>/dev/tcp/127.0.0.1/"$gmport") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "gearmand did not start on port $gmport within 30 s; the end of $state/gearmand.log:" >&2
  tail -n 5 "$state/gearmand.log" >&2 2>/dev/null; return 1
}

gearmand_stop() {
  if [ -f "$state/gearmand.pid" ]; then
    kill -CONT "$(cat "$state/gearmand.pid")" 2>/dev/null
    kill "$(cat "$state/gearmand.pid")" 2>/dev/null
    wait_gone "$state/gearmand.pid"
  fi
  return 0
}

daemon_stop() {  # a connector daemon left behind by a test or the demo: end its process group
  local lock="$root/var/run/vantorconnector.lock" pid
  [ -f "$lock" ] || return 0
  pid=$(head -c 10 "$lock" | tr -dc 0-9)
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && { kill -TERM -- "-$pid" 2>/dev/null || kill "$pid"; }
  return 0
}

# The account notification commands run as, created where missing.
notify_user() { "$here/create-notify-user.sh"; }

# The key the module signs its jobs with and the workers check them with, made once per
# sandbox: readable by its owner and group only, as installed.
job_key() {
  mkdir -p "$root/etc"
  [ -s "$root/etc/vantor.key" ] && return 0
  (umask 027; od -An -vtx1 -N32 /dev/urandom | tr -d ' \n' > "$root/etc/vantor.key") \
    && chmod 0640 "$root/etc/vantor.key"
}

case "$cmd" in
  start) notify_user && job_key && mariadb_start && gearmand_start ;;
  notify-user) notify_user ;;
  stop) daemon_stop; gearmand_stop; rm -rf "$queue_dir"; mariadb_stop ;;
  mariadb-start) mariadb_start ;;
  mariadb-stop) mariadb_stop ;;
  gearmand-start) job_key && gearmand_start ;;  # whoever submits to it signs with the root's key
  gearmand-stop) gearmand_stop ;;
  *) echo "unknown command $cmd" >&2; exit 2 ;;
esac
