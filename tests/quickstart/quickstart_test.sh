#!/usr/bin/env bash
# Runs the README's quick start as the README prints it: the sh blocks between its quickstart
# marks, in order, as one script. It runs on a fresh install root (this build installed into a
# folder of its own, mounted over the install root in a mount namespace) against the private
# servers, so that nothing of the host changes. What is replaced, and nothing else:
#   - the install root /usr/local/vantor by this build's root (the mount above);
#   - the account 'vantor' by one of this test's own, so that it holds only the rights the
#     quick start grants (the private server's 'vantor' is the other tests');
#   - mariadb by the private server's client (as its root, over its socket, first on the
#     PATH); the db.php the
#     quick start writes says localhost, which the client library takes to mean that socket
#     through MYSQL_UNIX_PORT;
#   - /etc/default/gearman-job-server, /etc/naemon/naemon.cfg and the database server's
#     configuration folder /etc/mysql/mariadb.conf.d/ by copies in a work folder;
#   - the host's package manager, build and init system (apt-get, cmake, cpack, systemctl) by
#     no-ops that record what they were asked: the build is this one, the servers are the
#     private ones, which already run.
# It ends with the quick start's own check, which must exit 0, and checks what the other
# steps left behind.
# usage: quickstart_test.sh SOURCE_DIR BUILD_DIR VANTOR_ROOT STATE_DIR
set -u
src=$1 build=$2 root=$3 state=$4
readme="$src/README.md"
tmp=$(mktemp -d "$build/quickstart.XXXXXX")
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
sql() { mariadb --no-defaults --socket="$state/mysql.sock" -uroot -N -B -e "$1"; }
trap 'sql "DROP USER IF EXISTS '"'"'vtquick'"'"'@'"'"'localhost'"'"'" 2>/dev/null; rm -rf "$tmp"' EXIT

# The blocks, as printed (the README indents them under their step).
awk '/<!-- quickstart begin/ {on=1; next} /<!-- quickstart end/ {on=0}
     on && /^ *```sh$/ {code=1; next} on && code && /^ *```$/ {code=0; next}
     on && code {sub(/^   /, ""); print}' "$readme" > "$tmp/quickstart.sh"
[ -s "$tmp/quickstart.sh" ] || { echo "FAIL: no quick-start blocks in $readme"; exit 1; }
for step in "apt-get install" "cpack -G DEB" "schema.sql" "GRANT" "db.php" "gearman-job-server" \
            "broker_module=" "command_file=" "--check"; do
  grep -qF -- "$step" "$tmp/quickstart.sh" || fail "the quick start lacks $step"
done

# A fresh root: this build installed into a folder of its own.
DESTDIR="$tmp/stage" cmake --install "$build" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
fresh="$tmp/stage$root"
[ -x "$fresh/bin/vantor-check" ] || { echo "FAIL: the install holds no bin/vantor-check"; exit 1; }
# What the package's postinst does for the engine's group, here root (the test has no engine user).
(umask 077; od -An -vtx1 -N32 /dev/urandom | tr -d ' \n' > "$fresh/etc/vantor.key")
chmod 0640 "$fresh/etc/vantor.key" "$fresh/etc/db.php"
mkdir -p "$tmp/etc/naemon" "$tmp/etc/mysql/mariadb.conf.d" "$tmp/default" "$tmp/bin"
# The private server's client, for the commands and for the scripts they run.
printf '#!/bin/sh\nexec /usr/bin/mariadb --no-defaults --socket="%s" -uroot "$@"\n' "$state/mysql.sock" > "$tmp/bin/mariadb"
chmod 0755 "$tmp/bin/mariadb"
cp /etc/default/gearman-job-server "$tmp/default/gearman-job-server" 2>/dev/null ||
  printf 'PARAMS="--listen=localhost \\\n --daemon \\\n --log-file=/var/log/gearman-job-server/gearmand.log"\n' \
    > "$tmp/default/gearman-job-server"
printf '# the engine\nnaemon_group=root\ncommand_file=/var/lib/naemon/naemon.cmd\n' > "$tmp/etc/naemon/naemon.cfg"
# The released engine of the release this build's module is for, built once as the
# real-engine group builds it, so that the check compares the releases as on a host.
release=$(cat "$fresh/lib/vtdb.engine-version")
engine_prefix=/var/tmp/vantor-naemon/$release/stock
if [ ! -x "$engine_prefix/bin/naemon" ]; then
  shared=$(realpath -m "$src/../shared/naemon")
  [ -d "$shared" ] || { echo "FAIL: the engine's release source $shared is missing (expected beside the clone)"; exit 1; }
  "$shared/build.sh" "$engine_prefix" stock "$release" >"$tmp/engine-build.log" 2>&1 \
    || { tail -n 30 "$tmp/engine-build.log"; echo "FAIL: building the engine $release"; exit 1; }
fi
engine_bin=$engine_prefix/bin

sed -e "s|/usr/local/vantor|$root|g" \
    -e "s|'vantor'@'localhost'|'vtquick'@'localhost'|g" \
    -e "s|\\\\\$DBUSER = 'vantor'|\\\\\$DBUSER = 'vtquick'|" \
    -e "s|/etc/default/gearman-job-server|$tmp/default/gearman-job-server|g" \
    -e "s|/etc/naemon/naemon.cfg|$tmp/etc/naemon/naemon.cfg|g" \
    -e "s|/etc/mysql/mariadb.conf.d/|$tmp/etc/mysql/mariadb.conf.d/|g" \
    "$tmp/quickstart.sh" > "$tmp/run.sh"
cat > "$tmp/prelude.sh" <<PRE
set -e
apt-get() { echo "apt-get \$*" >> "$tmp/skipped"; }
cmake() { echo "cmake \$*" >> "$tmp/skipped"; }
cpack() { echo "cpack \$*" >> "$tmp/skipped"; }
systemctl() { echo "systemctl \$*" >> "$tmp/skipped"; }
export MYSQL_UNIX_PORT="$state/mysql.sock"
export PATH="$tmp/bin:$engine_bin:\$PATH"
PRE
cat "$tmp/prelude.sh" "$tmp/run.sh" > "$tmp/all.sh"
# The checkout the commands run in: the build they name is this one.
mkdir -p "$tmp/checkout/build/package"
cd "$tmp/checkout" || exit 1
start=$(date +%s)
unshare --mount --propagation private sh -c 'mount --bind "$1" "$2" && exec bash "$3"' sh "$fresh" "$root" "$tmp/all.sh" \
  >"$tmp/out.log" 2>&1
rc=$?
echo "quick start: exit $rc in $(($(date +%s) - start)) s"
cat "$tmp/out.log"
[ "$rc" -eq 0 ] || fail "the quick start ended with status $rc (its last command is the check)"
grep -q "^0 errors, 0 warnings$" "$tmp/out.log" || fail "the check found something to do"

# What the steps left behind.
grep -q -- '--daemon' "$tmp/default/gearman-job-server" && grep -q -- '--log-file=' "$tmp/default/gearman-job-server" \
  || fail "the gearmand line lost Debian's --daemon or --log-file: $(cat "$tmp/default/gearman-job-server")"
grep -q -- '--queue-type=libsqlite3' "$tmp/default/gearman-job-server" || fail "gearmand has no persistent queue"
grep -q 'systemctl enable --now vantorconnector' "$tmp/skipped" || fail "the daemon is never started"
grep -qx 'innodb_buffer_pool_size = 1G' "$tmp/etc/mysql/mariadb.conf.d/60-vantor.cnf" \
  && grep -qx '\[mariadbd\]' "$tmp/etc/mysql/mariadb.conf.d/60-vantor.cnf" \
  || fail "the database server's settings are not in place, scaled: $(cat "$tmp/etc/mysql/mariadb.conf.d/60-vantor.cnf")"
sql "SHOW GRANTS FOR 'vtquick'@'localhost'" | grep -E 'ON \*\.\*' | grep -v 'GRANT USAGE' && fail "rights on *.*"

echo "$fails failed"
[ "$fails" -eq 0 ]
