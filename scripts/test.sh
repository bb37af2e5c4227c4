#!/usr/bin/env bash
# Set-up, build and the whole test suite, then the same under sanitizers.
#
#   scripts/test.sh [--quick] [--no-setup] [--no-fuzz] [--tsan] [--arm] [-j N] [--test-jobs N]
#                   [--under-load | --system-under-load]
#     --quick     only the plain build (build/); no sanitizer or fuzz builds
#     --no-fuzz   skip the short libFuzzer run (scripts/fuzz.sh --seconds 10)
#     --no-setup  do not run scripts/setup.sh first
#     --tsan      also a ThreadSanitizer build (build-tsan/) running the
#                 unit and system tests
#     --arm       also scripts/test-arm.sh (32-bit ARM build under qemu), when present
#     -j N        parallel build jobs (default: 2)
#     --test-jobs N  test processes at once (default: 4; system tests mostly
#                 wait on the network, so more than the cores pays off)
#     --under-load  every test run competes with two busy processes per core
#                 (same nice value as the tests; stopped after each run and
#                 on interruption), as on a machine building something else
#     --system-under-load  the plain build runs its system tests that way,
#                 the rest without load (what CI does; the sanitizer build
#                 still runs them unloaded)
#
# Stages: build/ (RelWithDebInfo) with every test; build-asan/ (-O0) with
# AddressSanitizer + UndefinedBehaviorSanitizer and every test; build-fuzz/
# (clang) with each fuzz target run for 10 s. Sanitizer
# reports of any process, daemons that forked away included, are written to
# <build dir>/sanitizer-logs/ and fail the stage. System tests need root;
# without it they are reported as skipped. Exits non-zero if any stage failed.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
QUICK=0 SETUP=1 FUZZ=1 TSAN=0 ARM=0 JOBS=2 TEST_JOBS=4 LOAD=0 SYSTEM_LOAD=0

while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --no-setup) SETUP=0 ;;
    --no-fuzz) FUZZ=0 ;;
    --tsan) TSAN=1 ;;
    --arm) ARM=1 ;;
    -j) shift; JOBS=${1:?-j needs a number} ;;
    -j*) JOBS=${1#-j} ;;
    --test-jobs) shift; TEST_JOBS=${1:?--test-jobs needs a number} ;;
    --under-load) LOAD=1 ;;
    --system-under-load) SYSTEM_LOAD=1 ;;
    -h|--help) sed -n '2,27p' "$0"; exit 0 ;;
    *) echo "test.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

declare -a SUMMARY=()
FAILED=0
START=$(date +%s)

note() { printf '\n=== %s\n' "$*"; }

# Busy processes competing with the tests: two per core, at our own nice
# value, each killed by its pid when the run ends or is interrupted.
declare -a LOAD_PIDS=()
start_load() {
  local n=$(( 2 * $(nproc) )) i
  for ((i = 0; i < n; i++)); do
    ( trap - INT TERM; while :; do :; done ) &
    LOAD_PIDS+=("$!")
  done
  echo "test.sh: $n busy processes competing (pids ${LOAD_PIDS[*]})"
}
stop_load() {
  local pid
  for pid in "${LOAD_PIDS[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  LOAD_PIDS=()
}
trap 'stop_load' EXIT
trap 'stop_load; exit 130' INT
trap 'stop_load; exit 143' TERM

# record NAME STATUS [DETAIL]
record() {
  local name=$1 status=$2 detail=${3:-}
  if [ "$status" -eq 0 ]; then
    SUMMARY+=("PASS  $name${detail:+  ($detail)}")
  else
    SUMMARY+=("FAIL  $name${detail:+  ($detail)}")
    FAILED=1
  fi
}

# Counts "N tests ... out of M" and skipped tests from a ctest log.
ctest_detail() {
  local log=$1 line skipped
  line=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1)
  skipped=$(grep -c '(Skipped)' "$log" || true)
  printf '%s%s' "${line:-no test summary}" "$( [ "$skipped" -gt 0 ] && printf ', %s skipped' "$skipped")"
}

# configure_build NAME DIR CMAKE_ARGS...
configure_build() {
  local name=$1 dir=$2
  shift 2
  note "$name: configure and build in ${dir#"$ROOT"/}"
  local t0=$SECONDS
  mkdir -p "$dir"
  if cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir/configure.log" 2>&1 &&
     cmake --build "$dir" -j "$JOBS"; then
    record "$name build" 0 "$((SECONDS - t0)) s"
    return 0
  fi
  tail -40 "$dir/configure.log"
  record "$name build" 1
  return 1
}

# report_line FILE: the program a sanitizer report came from and its finding.
report_line() {
  local program finding
  program=$(grep -m1 -oE '\(/[^ +)]*/bin/[^ +)]+' "$1" | sed 's|.*/||')
  finding=$(grep -m1 -E '^SUMMARY:|runtime error:' "$1" | cut -c1-160)
  printf '%s: %s' "${program:-?}" "${finding:-$(head -c 160 "$1" | tr '\n' ' ')}"
}

# run_suite NAME DIR [CTEST_ARGS...]: ctest with sanitizer reports to files,
# under load with --under-load (or when LOADED=1 is set for the call).
run_suite() {
  local name=$1 dir=$2
  shift 2
  local loaded=${LOADED:-$LOAD}
  local logs="$dir/sanitizer-logs"
  rm -rf "$logs"
  mkdir -p "$logs"
  note "$name: tests"
  local t0=$SECONDS log="$dir/ctest.log"
  if [ "$loaded" -eq 1 ]; then
    log="$dir/ctest-loaded.log"
    start_load
  fi
  ASAN_OPTIONS="log_path=$logs/asan:detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1" \
  UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1:halt_on_error=1" \
  TSAN_OPTIONS="log_path=$logs/tsan:second_deadlock_stack=1:halt_on_error=0" \
    ctest --test-dir "$dir" -j "$TEST_JOBS" --output-on-failure --no-tests=error "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  [ "$loaded" -eq 1 ] && stop_load
  local detail
  detail="$(ctest_detail "$log"), $((SECONDS - t0)) s"
  record "$name tests" "$status" "$detail"
  # Name the failed tests in the summary as well.
  while IFS= read -r failed; do
    SUMMARY+=("        $failed")
  done < <(sed -n '/The following tests FAILED:/,/^Errors while running/p' "$log" | grep -E '^\s+[0-9]+ - ' | sed 's/^\s*//')
  if compgen -G "$logs/*" >/dev/null; then
    note "$name: sanitizer reports"
    for report in "$logs"/*; do
      printf -- '--- %s\n' "${report#"$ROOT"/}"
      head -60 "$report"
    done
    record "$name sanitizer reports" 1 "$(ls "$logs" | wc -l) files in ${logs#"$ROOT"/}"
    # The summary is what a CI excerpt shows: name each report's program and finding.
    for report in "$logs"/*; do
      SUMMARY+=("        ${report##*/}: $(report_line "$report")")
    done
  fi
}

# Sanitizer builds unoptimised with line tables only: instrumented code
# builds about twice as fast as at -O1, reports still name file and line,
# and the tests mostly wait on the network anyway.
SANITIZER_FLAGS=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O0" "-DCMAKE_C_FLAGS_DEBUG=-g1 -O0")

if [ "$SETUP" -eq 1 ]; then
  note "setup"
  "$ROOT/scripts/setup.sh"
  record "setup" $?
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "test.sh: not root: the system tests will be skipped (they need unshare, mounts and veth)"
fi

if configure_build "plain" "$ROOT/build"; then
  if [ "$SYSTEM_LOAD" -eq 1 ] && [ "$LOAD" -eq 0 ]; then
    run_suite "plain" "$ROOT/build" -LE system
    LOADED=1 run_suite "plain system tests under load" "$ROOT/build" -L system
  else
    run_suite "plain" "$ROOT/build"
  fi
fi

if [ "$QUICK" -eq 0 ]; then
  if configure_build "asan+ubsan" "$ROOT/build-asan" -DAVTD_SANITIZE=ON "${SANITIZER_FLAGS[@]}"; then
    run_suite "asan+ubsan" "$ROOT/build-asan"
  fi
fi

# Every fuzz target briefly (its corpus is replayed by both builds above).
if [ "$QUICK" -eq 0 ] && [ "$FUZZ" -eq 1 ]; then
  note "fuzz"
  t0=$SECONDS
  "$ROOT/scripts/fuzz.sh" --seconds 10 -j "$JOBS"
  record "fuzz" $? "10 s per target, $((SECONDS - t0)) s"
fi

if [ "$TSAN" -eq 1 ]; then
  if configure_build "tsan" "$ROOT/build-tsan" -DAVTD_TSAN=ON "${SANITIZER_FLAGS[@]}"; then
    run_suite "tsan" "$ROOT/build-tsan" -L 'unit|system'
  fi
fi

if [ "$ARM" -eq 1 ]; then
  if [ -f "$ROOT/scripts/test-arm.sh" ]; then
    note "arm"
    t0=$SECONDS
    bash "$ROOT/scripts/test-arm.sh"
    record "arm" $? "$((SECONDS - t0)) s"
  else
    SUMMARY+=("SKIP  arm  (scripts/test-arm.sh not present)")
  fi
fi

note "summary ($(( $(date +%s) - START )) s)"
printf '  %s\n' "${SUMMARY[@]}"
if [ "$FAILED" -ne 0 ]; then
  echo "test.sh: FAILED"
  exit 1
fi
echo "test.sh: all passed"
