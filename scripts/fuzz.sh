#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz/targets with clang in build-fuzz/
# and runs each for a while, seeded with its corpus.
#
#   scripts/fuzz.sh [--seconds N] [-j N] [TARGET...]
#     --seconds N  run time of each target (default: 60)
#     -j N         parallel build jobs (default: 2)
#     TARGET       only these targets (names of tests/fuzz/targets/*.cpp)
#
# Seeds come from tests/fuzz/corpus/<target>/ and are never written to; new
# inputs go to build-fuzz/corpus/<target>/, a crashing input to
# build-fuzz/artifacts/<target>/. A target stops at its first crash. One
# summary line per target; exits non-zero when any target crashed or did not
# build. A crash is fixed in the daemon and its input added to the seed
# corpus as a regression case, which every scripts/test.sh then replays.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build-fuzz"
SECONDS_EACH=60 JOBS=2
declare -a ONLY=()

while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) shift; SECONDS_EACH=${1:?--seconds needs a number} ;;
    --seconds=*) SECONDS_EACH=${1#--seconds=} ;;
    -j) shift; JOBS=${1:?-j needs a number} ;;
    -j*) JOBS=${1#-j} ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) ONLY+=("$1") ;;
  esac
  shift
done
case "$SECONDS_EACH" in
  ''|*[!0-9]*|0) echo "fuzz.sh: --seconds needs a positive number" >&2; exit 2 ;;
esac

CLANGXX=$(command -v clang++ || true)
CLANG=$(command -v clang || true)
if [ -z "$CLANGXX" ] || [ -z "$CLANG" ]; then
  echo "fuzz.sh: clang and clang++ are needed (scripts/setup.sh installs them)" >&2
  exit 2
fi

# clang alone may lack the libFuzzer runtime (Debian: libclang-rt-*-dev).
mkdir -p "$BUILD"
if ! printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
     "$CLANGXX" -x c++ -fsanitize=fuzzer - -o "$BUILD/libfuzzer-probe" >/dev/null 2>&1; then
  echo "fuzz.sh: clang++ cannot link libFuzzer (install libclang-rt-dev for this clang)" >&2
  exit 2
fi

declare -a TARGETS=()
if [ ${#ONLY[@]} -gt 0 ]; then
  TARGETS=("${ONLY[@]}")
else
  for src in "$ROOT"/tests/fuzz/targets/*.cpp; do
    TARGETS+=("$(basename "$src" .cpp)")
  done
fi
for t in "${TARGETS[@]}"; do
  if [ ! -f "$ROOT/tests/fuzz/targets/$t.cpp" ]; then
    echo "fuzz.sh: no target $t" >&2
    exit 2
  fi
done

echo "=== fuzz: configure and build in build-fuzz"
mkdir -p "$BUILD"
if ! cmake -S "$ROOT" -B "$BUILD" -DAVTD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
       -DCMAKE_C_COMPILER="$CLANG" -DCMAKE_CXX_COMPILER="$CLANGXX" >"$BUILD/configure.log" 2>&1; then
  tail -40 "$BUILD/configure.log"
  echo "fuzz.sh: configure failed"
  exit 1
fi
declare -a BUILD_TARGETS=()
for t in "${TARGETS[@]}"; do BUILD_TARGETS+=("fuzz_$t"); done
if ! cmake --build "$BUILD" -j "$JOBS" --target "${BUILD_TARGETS[@]}"; then
  echo "fuzz.sh: build failed"
  exit 1
fi

declare -a SUMMARY=()
FAILED=0
for t in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$t" artifacts="$BUILD/artifacts/$t" log="$BUILD/logs/$t.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  declare -a extra=()
  case "$t" in
    # Whole messages up to the channel's largest, and the line labels.
    ipc_*|metadata_delivery) extra+=(-max_len=33000 "-dict=$ROOT/tests/fuzz/dict/ipc.dict") ;;
    # Units well past the 512-byte start-code window and several packets long.
    h264|jpeg|packet_paths) extra+=(-max_len=16384) ;;
    options) extra+=("-dict=$ROOT/tests/fuzz/dict/options.dict") ;;
  esac
  echo "=== fuzz: $t for $SECONDS_EACH s"
  # Standard output and error of the code under test are closed (the event
  # IPC library prints every message); libFuzzer and sanitizer reports still
  # come through. No input may take more than 10 s (the longest wait on a
  # peer is 3 s) or 2 GB.
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$BUILD/bin/fuzz_$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" "${extra[@]}" \
      "$corpus" "$ROOT/tests/fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  runs=$(grep -E '^stat::number_of_executed_units:' "$log" | awk '{print $2}')
  cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+' | awk '{print $2}')
  if [ "$status" -eq 0 ]; then
    SUMMARY+=("PASS  $t  (${runs:-?} runs, coverage ${cov:-?}, $(ls "$corpus" | wc -l) inputs in build-fuzz/corpus/$t)")
  else
    FAILED=1
    crash=$(ls -t "$artifacts" 2>/dev/null | head -1)
    SUMMARY+=("FAIL  $t  (exit $status${crash:+, input build-fuzz/artifacts/$t/$crash}; log build-fuzz/logs/$t.log)")
    grep -E 'ERROR|expectation failed|SUMMARY|==[0-9]+==' "$log" | head -20
  fi
done

echo "=== fuzz: summary ($SECONDS_EACH s per target)"
printf '  %s\n' "${SUMMARY[@]}"
if [ "$FAILED" -ne 0 ]; then
  echo "fuzz.sh: FAILED"
  exit 1
fi
echo "fuzz.sh: all clean"
