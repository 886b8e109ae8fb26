#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need (as root),
# or prints the apt-get line to run.
set -eu
packages=(g++ make cmake pkg-config libgearman-dev gearman-job-server libmariadb-dev
          mariadb-server mariadb-client googletest libgtest-dev libssl-dev
          dpkg-dev   # dpkg-shlibdeps: the package test declares library dependencies
          iproute2)  # ip: the quick-start test brings up loopback in a network namespace of its own
# Only its checker (promtool) is used, by the metrics test: no recommended exporters.
lean=(prometheus)
missing=() missing_lean=()
for p in "${lean[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing_lean+=("$p")
done
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  [ ${#missing_lean[@]} -eq 0 ] || echo "  apt-get install -y --no-install-recommends ${missing_lean[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
[ ${#missing[@]} -eq 0 ] || apt-get install -y -qq "${missing[@]}" >/dev/null
[ ${#missing_lean[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${missing_lean[@]}" >/dev/null
