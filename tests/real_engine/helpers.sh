# Shell helpers of the real-engine tests, sourced after the caller has set state (the private
# servers' folder), root (the install root) and say_tag (what each line names: the release and
# the kind of engine). Each check prints one line; failed becomes 1 on any that does not hold.
failed=0
say() { printf '[%s %s] %s\n' "$(date +%T)" "$say_tag" "$*"; }
sql() { mariadb --no-defaults --socket="$state/mysql.sock" -uroot -N -B -e "$1" 2>&1; }
# check WHAT COMMAND...: one line per expectation, and the run fails on any that does not hold.
check() {
  local what=$1; shift
  if "$@"; then say "ok     $what"; else say "FAILED $what"; failed=1; fi
}
# wait_for SECONDS COMMAND...: true once the command succeeds, false when the time is up.
wait_for() {
  local end=$(($(date +%s) + $1)); shift
  until "$@"; do [ "$(date +%s)" -ge "$end" ] && return 1; sleep 0.5; done
}
at_least() { [ "$(sql "$2")" -ge "$1" ] 2>/dev/null; }
equals() { [ "$(sql "$2")" = "$1" ]; }
has_line() { grep -qF -- "$2" "$1" 2>/dev/null; }
command_pipe() {  # writes one engine command line into the pipe the engine reads
  timeout 5 bash -c 'printf "[%s] %s\n" "$(date +%s)" "$1" >"$2"' _ "$1" "$root/var/rw/vantor.cmd"
}
# The time period every object of the tests' configurations names, as an engine's own
# configuration defines it.
timeperiod_24x7() {
  cat <<'CFG'
define timeperiod {
  timeperiod_name 24x7
  alias always
  sunday 00:00-24:00
  monday 00:00-24:00
  tuesday 00:00-24:00
  wednesday 00:00-24:00
  thursday 00:00-24:00
  friday 00:00-24:00
  saturday 00:00-24:00
}
CFG
}
