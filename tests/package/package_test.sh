#!/usr/bin/env bash
# Builds the Debian package, unpacks it into an empty root and checks what dpkg would install;
# then starts the unpacked daemon, with the unpacked tree mounted over the install root in a
# mount namespace of its own, against the private servers, and asks the unpacked plugin.
# usage: package_test.sh BUILD_DIR VANTOR_ROOT
set -u
build=$1 root=$2
tmp=$(mktemp -d "$build/package-test.XXXXXX")
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
in_root() { unshare --mount --propagation private sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh \
              "$tmp/root$root" "$root" "$@"; }
stop_daemon() {
  local pid; pid=$(tr -dc 0-9 < "$tmp/root$root/var/run/vantorconnector.lock" 2>/dev/null)
  [ -n "$pid" ] || return 0
  kill -TERM -- "-$pid" 2>/dev/null
  for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL -- "-$pid" 2>/dev/null
}
# A group standing in for the engine's, made for this run only.
group=vtpkg$$
groupadd "$group" || exit 1
trap 'stop_daemon; groupdel "$group"; rm -rf "$tmp"' EXIT

(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1) \
  || { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/out/*.deb) || exit 1
echo "built $(basename "$deb")"

# Control data: name and version, declared dependencies, conffiles, the account script.
[ "$(dpkg-deb -f "$deb" Package)" = vantor ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = 9.12.8-7 ] || fail "version $(dpkg-deb -f "$deb" Version)"
dpkg-deb -f "$deb" Description | grep -q "built for Naemon $(sed -n 's/^VTDB_ENGINE_VERSION:INTERNAL=//p' "$build/CMakeCache.txt") " \
  || fail "the engine release the module is for is not in the description"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libgearman libmariadb libssl libc6 libstdc++; do
  case "$depends" in *"$lib"*) ;; *) fail "Depends lacks $lib: $depends" ;; esac
done
dpkg-deb -e "$deb" "$tmp/control"
printf '%s\n' "$root/etc/db.php" "$root/etc/vantorconnector.conf" | cmp -s - "$tmp/control/conffiles" \
  || fail "conffiles: $(cat "$tmp/control/conffiles")"
for script in postinst prerm; do
  [ -x "$tmp/control/$script" ] || fail "$script missing or not executable"
  sh -n "$tmp/control/$script" || fail "$script syntax"
done

# Unpacked into an empty root: every deliverable where the system looks for it.
dpkg-deb -x "$deb" "$tmp/root"
for f in bin/vantorconnector bin/vantor-replay-failed bin/vantor-check bin/create-host-tables.sh libexec/check_vantor; do
  [ -x "$tmp/root$root/$f" ] || fail "$f missing or not executable"
done
for f in lib/vtdb.so lib/vtdb.engine-version share/sql/schema.sql share/mariadb/vantor.cnf etc/db.php etc/vantorconnector.conf; do
  [ -f "$tmp/root$root/$f" ] || fail "$f missing"
done
for d in var var/delayed-messages var/rw; do
  [ -d "$tmp/root$root/$d" ] || fail "$d missing"
done
dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && substr($1, 9, 1) == "w" {print $6}' | grep . && fail "world-writable folders"
# The sample db.php is the one the README's quick start writes: the server's socket.
grep -qx "\$DBHOST = 'localhost';" "$tmp/root$root/etc/db.php" || fail "sample db.php: $(grep DBHOST "$tmp/root$root/etc/db.php")"
# Configured, the engine's group may write the folders its user writes, and nobody else; the
# first configure says what is left to do, and what the installation check finds.
VANTOR_ENGINE_GROUP=$group VANTOR_ENGINE_CONFIG=/nonexistent in_root sh "$tmp/control/postinst" configure \
  >"$tmp/postinst.out" 2>&1 || fail "postinst configure: $(cat "$tmp/postinst.out")"
grep -q "What is left to do" "$tmp/postinst.out" || fail "postinst names no next step: $(cat "$tmp/postinst.out")"
grep -q "broker_module=$root/lib/vtdb.so" "$tmp/postinst.out" || fail "postinst does not name the broker_module= line"
grep -q "^vantor: the installation check finds (run $root/bin/vantorconnector --check" "$tmp/postinst.out" \
  && grep -q "^ERROR   database unreachable as vantor" "$tmp/postinst.out" \
  || fail "postinst does not print what the check finds: $(cat "$tmp/postinst.out")"
for d in var var/delayed-messages var/rw; do
  [ "$(stat -c '%a %U %G' "$tmp/root$root/$d")" = "3775 root $group" ] \
    || fail "$d after postinst: $(stat -c '%a %U %G' "$tmp/root$root/$d")"
done
# The job key is made at the first configure, for root and the engine's group only, and kept.
key="$tmp/root$root/etc/vantor.key"
[ "$(stat -c '%a %U %G' "$key" 2>/dev/null)" = "640 root $group" ] || fail "job key after postinst: $(stat -c '%a %U %G' "$key" 2>&1)"
grep -qxE '[0-9a-f]{64}' "$key" || fail "job key is not 32 random bytes in hex"
key_before=$(cat "$key")
# The lock file's folder is root's alone.
[ "$(stat -c '%a %U' "$tmp/root$root/var/run")" = "755 root" ] \
  || fail "var/run after postinst: $(stat -c '%a %U' "$tmp/root$root/var/run" 2>&1)"
# The service unit, in a directory systemd searches.
unitdir=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed -n 's|^\.\(.*/lib/systemd/system\)/vantorconnector\.service$|\1|p')
[ "$unitdir" = /lib/systemd/system ] || fail "service unit in '$unitdir', not in the folder of packaged units"
# The package owns no folder below /usr/local but its own root.
dpkg-deb -c "$deb" | awk '{print $6}' | grep -E '^\./usr/local/lib' && fail "the package owns /usr/local/lib"
grep -qx "ExecStart=$root/bin/vantorconnector" "$tmp/root$unitdir/vantorconnector.service" 2>/dev/null \
  || fail "service unit does not start $root/bin/vantorconnector"
# db.php holds the database password: nobody but its owner and group may read it.
[ "$(dpkg-deb -c "$deb" | awk -v f="./${root#/}/etc/db.php" '$6 == f {print $1}')" = "-rw-r-----" ] \
  || fail "db.php mode: $(dpkg-deb -c "$deb" | grep etc/db.php)"
while read -r entry; do  # nothing outside the install root but the service unit
  p=/${entry#./}; p=${p%/}
  case "$p" in ""|"$root"|"$root"/*|"$unitdir"/vantorconnector.service) continue ;; esac
  case "$root/ $unitdir/" in "$p"/*|*" $p"/*) continue ;; esac
  fail "outside the install root: $p"
done < <(dpkg-deb -c "$deb" | awk '{print $6}')

# The operator edits the configuration (here: the private servers of this build) and starts
# the installed daemon; its workers register and the installed plugin sees it running.
cp "$root/etc/db.php" "$tmp/root$root/etc/db.php"
printf 'vtstatus_workers=2\nperfdata_workers=1\nnotify_workers=0\n' > "$tmp/root$root/etc/vantorconnector.conf"
in_root "$root/bin/vantorconnector" || fail "installed daemon exited with $?"
for _ in $(seq 1 100); do grep -q "PIDs Main process" "$tmp/root$root/var/vantorconnector.log" 2>/dev/null && break; sleep 0.1; done
grep -q "PIDs Main process" "$tmp/root$root/var/vantorconnector.log" 2>/dev/null \
  || fail "installed daemon did not start: $(cat "$tmp/root$root/var/vantorconnector.log" 2>/dev/null)"
mariadb --no-defaults --socket="$build/test-services/mysql.sock" -uroot \
  -e "REPLACE INTO vantor4.program_status (id, entry_time) VALUES (0, NOW())" || fail "program status row"
check=""
for _ in $(seq 1 50); do
  check=$(in_root "$root/libexec/check_vantor" -w 100000 -c 100000)
  case "$check" in "VANTOR OK - daemon pid "*) break ;; esac
  sleep 0.2
done
case "$check" in
  "VANTOR OK - daemon pid "*"'status_workers'=2;;;0;2"*"'perfdata_workers'=1;;;0;1"*) echo "$check" ;;
  *) fail "installed plugin: $check" ;;
esac

# An upgrade restarts the running daemon; removing the package stops it.
old_pid=$(tr -dc 0-9 < "$tmp/root$root/var/run/vantorconnector.lock")
VANTOR_ENGINE_GROUP=$group in_root sh "$tmp/control/postinst" configure 9.12.8-7 || fail "postinst upgrade"
new_pid=""
for _ in $(seq 1 100); do
  new_pid=$(tr -dc 0-9 < "$tmp/root$root/var/run/vantorconnector.lock" 2>/dev/null)
  [ -n "$new_pid" ] && [ "$new_pid" != "$old_pid" ] && break
  sleep 0.1
done
[ "$(cat "$key")" = "$key_before" ] || fail "the upgrade replaced the job key"
kill -0 "$old_pid" 2>/dev/null && fail "the daemon of before the upgrade still runs"
[ -n "$new_pid" ] && [ "$new_pid" != "$old_pid" ] && kill -0 "$new_pid" 2>/dev/null \
  || fail "no daemon after the upgrade (lock: $new_pid)"
printf 'broker_module=%s/lib/vtdb.so\n' "$root" > "$tmp/naemon.cfg"
VANTOR_ENGINE_CONFIG=$tmp/naemon.cfg in_root sh "$tmp/control/prerm" remove >"$tmp/prerm.out" 2>&1 || fail "prerm remove"
grep -q "remove the line broker_module=$root/lib/vtdb.so from $tmp/naemon.cfg before the engine starts again" "$tmp/prerm.out" \
  || fail "prerm does not say that the engine's broker_module= line must go: $(cat "$tmp/prerm.out")"
kill -0 "$new_pid" 2>/dev/null && fail "prerm left the daemon running"
[ -e "$tmp/root$root/var/run/vantorconnector.lock" ] && fail "lock file left after prerm"

echo "$fails failed"
[ "$fails" -eq 0 ]
