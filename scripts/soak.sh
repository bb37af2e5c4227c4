#!/usr/bin/env bash
# Fault and soak test: one H.264 stream at about 8 Mbit/s in the sandbox while
# its frame producer crashes, the link goes down and up, the MTU changes, the
# session daemon and the event manager restart (the latter also silent), junk
# floods the RTCP port, SIGUSR1 comes in bursts and keep-alives lapse for less
# than the time-out. Checks at the end: no crash, RSS and descriptors flat
# after warm-up (RSS growth at most 256 KiB, descriptor count equal), one down
# and one up notice per outage, RTP sequence numbers continuous away from
# outages, a clean SIGTERM exit (status 0; pid file, routes and session gone).
#
#   scripts/soak.sh [--seconds N] [--short] [--build-dir DIR] [--no-build]
#     --seconds N      how long (default 1800; at least two rounds of faults,
#                      about two minutes, always run)
#     --short          the CI form, about 110 s (the soak_test system test
#                      runs it in every scripts/test.sh)
#     --build-dir DIR  build tree to build and use (default build/)
#     --no-build       use the binaries as they are
#
# Needs root (namespaces, a veth pair, mounts) and FFmpeg with libx264 for the
# clip, made once in DIR/test-media. Prints the figures and exits non-zero
# when any check failed.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_WANTED=1800 BUILD=$ROOT/build DO_BUILD=1

while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) shift; SECONDS_WANTED=${1:?--seconds needs a number} ;;
    --seconds=*) SECONDS_WANTED=${1#--seconds=} ;;
    --short) SECONDS_WANTED=110 ;;
    --build-dir) shift; BUILD=$(realpath -m "${1:?--build-dir needs a directory}") ;;
    --no-build) DO_BUILD=0 ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "soak.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
case "$SECONDS_WANTED" in
  ''|*[!0-9]*|0) echo "soak.sh: --seconds wants a positive number" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "soak.sh: needs root (namespaces, a veth pair, mounts)" >&2; exit 1; }

if [ "$DO_BUILD" -eq 1 ]; then
  mkdir -p "$BUILD"
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/soak-configure.log" 2>&1 || {
      tail -30 "$BUILD/soak-configure.log" >&2; exit 1; }
  fi
  cmake --build "$BUILD" -j 2 --target avtd frame-feeder mini-sessiond mini-evman avtd-sandbox soak_test \
    >"$BUILD/soak-build.log" 2>&1 || { tail -30 "$BUILD/soak-build.log" >&2; echo "soak.sh: the build failed" >&2; exit 1; }
fi
[ -x "$BUILD/bin/soak_test" ] || { echo "soak.sh: $BUILD/bin/soak_test is missing (build it, or drop --no-build)" >&2; exit 1; }

# The test binary enters a sandbox of its own before it runs.
AVTD_SOAK_SECONDS=$SECONDS_WANTED exec "$BUILD/bin/soak_test" \
  --gtest_filter=Soak.StreamComesThroughFaultsWithFlatResourcesAndEndsCleanly
