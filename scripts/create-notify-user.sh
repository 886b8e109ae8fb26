#!/usr/bin/env bash
# Creates the unprivileged account and group "vtuser" that notification commands run as, where
# missing. Needs root (does nothing otherwise). Two runs at once are fine: the loser finds it there.
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"
[ "$(id -u)" = 0 ] || exit 0
getent group vtuser >/dev/null || groupadd --system vtuser 2>/dev/null || getent group vtuser >/dev/null || exit 1
getent passwd vtuser >/dev/null || useradd --system --gid vtuser --no-create-home --home-dir /nonexistent \
  --shell /usr/sbin/nologin vtuser 2>/dev/null || getent passwd vtuser >/dev/null
