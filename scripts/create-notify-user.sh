#!/usr/bin/env bash
# Creates, where missing, the unprivileged accounts and groups of notifications: "vtuser", that
# notification commands run as, and "vtnotify", that the notification workers run under (apart
# from the commands, which so cannot signal or trace them). Needs root (does nothing otherwise).
# Two runs at once are fine: the loser finds them there.
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"
[ "$(id -u)" = 0 ] || exit 0
for account in vtuser vtnotify; do
  getent group "$account" >/dev/null || groupadd --system "$account" 2>/dev/null ||
    getent group "$account" >/dev/null || exit 1
  getent passwd "$account" >/dev/null || useradd --system --gid "$account" --no-create-home \
    --home-dir /nonexistent --shell /usr/sbin/nologin "$account" 2>/dev/null ||
    getent passwd "$account" >/dev/null || exit 1
done
