#!/usr/bin/env bash
# Runs the whole test suite twice, as a plain build and under AddressSanitizer and
# UndefinedBehaviorSanitizer, each against its own private MariaDB and gearmand. The plain run
# also builds the stand-in engine with the broker interface of the newest supported engine
# release (API 8) in a build of its own, and runs the module's test programs there.
# Optional environment: VT_TEST_PORT_BASE moves every private server port (default 0), so that
# two checkouts can run their suites side by side; VT_TEST_VARIANTS picks the builds ("plain
# sanitize" by default); VT_TEST_REGEX passes a name filter to ctest; VT_TEST_LABEL runs only the
# tests of a label (the zero-loss fault-injection suite, labelled zero_loss, is otherwise left out:
# scripts/run-zero-loss.sh runs it).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" || exit 1

base=${VT_TEST_PORT_BASE:-0}
variants=${VT_TEST_VARIANTS:-plain sanitize}
filter=()
[ -n "${VT_TEST_REGEX:-}" ] && filter=(-R "$VT_TEST_REGEX")  # fixtures come along by themselves
if [ -n "${VT_TEST_LABEL:-}" ]; then filter+=(-L "$VT_TEST_LABEL"); else filter+=(-LE zero_loss); fi

failed=0
run_variant() {  # name, job-server port, database port, extra cmake options...
  local name=$1 gport=$2 dport=$3; shift 3
  local dir="$top/build/tests-$name" targets=() tests=("${filter[@]}")
  if [ "$name" = plain-api8 ]; then  # the module's test programs only
    targets=(--target module_lifecycle_test module_identity_test module_registry_test module_end_to_end_test module_notifications_test
             module_comments_test module_stock_display_status_test module_status_records_test module_history_test
             engine_standin_test)
    tests=(-R '^(module_|engine_standin)' -E 'module_simulator_test' "${filter[@]}")
  fi
  echo "=== $name build ==="
  cmake -S "$top" -B "$dir" -DVANTOR_ROOT="$dir/sandbox" -DVANTOR_GEARMAN_PORT="$gport" \
        -DVANTOR_TEST_DB_PORT="$dport" -DVANTOR_BENCH=OFF "$@" >"$dir.cmake.log" 2>&1 \
    || { cat "$dir.cmake.log"; failed=1; return; }
  cmake --build "$dir" -j2 "${targets[@]}" >"$dir.build.log" 2>&1 || { tail -n 60 "$dir.build.log"; failed=1; return; }
  echo "=== $name tests ==="
  (cd "$dir" && ctest --output-on-failure "${tests[@]}") || failed=1
}

mkdir -p "$top/build"
case " $variants " in *" plain "*)
  run_variant plain $((14740 + base)) $((13340 + base))
  [ -z "${VT_TEST_LABEL:-}" ] && run_variant plain-api8 $((14742 + base)) $((13342 + base)) -DVTDB_STANDIN_API=8
;; esac

case " $variants " in *" sanitize "*)
# Sanitizer reports go to files, so that a report from a detached daemon or a forked worker
# (whose standard error is /dev/null) fails the run as surely as one from a test program.
reports="$top/build/tests-sanitize/sanitizer-reports"
rm -rf "$reports"; mkdir -p "$reports"
ASAN_OPTIONS=detect_leaks=1:log_path="$reports/asan" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path="$reports/ubsan" \
LSAN_OPTIONS=suppressions="$top/tests/lsan.supp" \
  run_variant sanitize $((14741 + base)) $((13341 + base)) -DVANTOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
if [ -n "$(ls -A "$reports" 2>/dev/null)" ]; then
  echo "=== sanitizer reports ==="
  for f in "$reports"/*; do echo "--- $f"; cat "$f"; done
  failed=1
fi
;; esac
exit $failed
