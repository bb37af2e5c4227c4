#!/usr/bin/env bash
# One live stream end to end: set-up, build, then in a sandbox the daemon
# sends a test pattern from a frame store to a receiving host, where FFmpeg
# decodes it and rtp-probe checks every packet. Pictures and a summary land
# in demo-out/.
#
#   scripts/demo.sh [--codec h264|jpeg|mpeg4|ulaw|metadata] [--seconds N]
#                   [--multicast] [--ipv6] [--tcp] [--no-setup]
#                   [--build-dir DIR] [--out DIR]
#   scripts/demo.sh --rtsp [--tcp | --multicast] [--ipv6] [--codec C] [--seconds N] ...
#   scripts/demo.sh --serve [--seconds N] [--no-setup] [--build-dir DIR]
#     --codec C       what to stream (default h264); jpeg goes with RFC 2435
#                     headers; ulaw and metadata show what arrived instead of
#                     a picture
#     --seconds N     how long to feed (default 10, at most 600)
#     --multicast     to a multicast group instead of the receiving host
#     --ipv6          over IPv6
#     --tcp           interleaved on a TCP connection handed over to the daemon
#     --rtsp          FFmpeg plays the stream as an RTSP client of avtd-rtspd
#                     (UDP, --tcp interleaved, --multicast), same verdict
#     --serve         the whole device on this host's own network (a private
#                     mount namespace): a looping test pattern per stream kind
#                     and avtd-rtspd; prints the URLs for any player on the
#                     LAN and runs N seconds (default: until interrupted).
#                     No authentication: only on a trusted network.
#     --no-setup      skip scripts/setup.sh (the packages are there already)
#     --build-dir DIR where to build (default build/)
#     --out DIR       where the results go (default demo-out/)
#
# Needs root (namespaces, a veth pair, mounts; the set-up installs packages).
# Exit status: 0 when every fed frame after the first key frame arrived and
# decoded intact, 1 when not or when something failed, 2 on a usage error.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
ARGS=("$@")
CODEC=h264 SECONDS_TO_RUN=10 SETUP=1 BUILD=$ROOT/build OUT=$ROOT/demo-out
STREAM_FLAGS=()
TARGETS=(avtd avtd-sandbox avtd-sdp avtd-rtspd frame-feeder mini-sessiond mini-eventd rtp-probe tcp-handoff)
MODE=stream SECONDS_GIVEN=0

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }

while [ $# -gt 0 ]; do
  case "$1" in
    --codec) CODEC=${2:-}; shift ;;
    --codec=*) CODEC=${1#*=} ;;
    --seconds) SECONDS_TO_RUN=${2:-}; SECONDS_GIVEN=1; shift ;;
    --seconds=*) SECONDS_TO_RUN=${1#*=}; SECONDS_GIVEN=1 ;;
    --rtsp) MODE=rtsp ;;
    --serve) MODE=serve ;;
    --multicast|--ipv6|--tcp) STREAM_FLAGS+=("$1") ;;
    --no-setup) SETUP=0 ;;
    --build-dir) BUILD=$(realpath -m "${2:-}"); shift ;;
    --out) OUT=$(realpath -m "${2:-}"); shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

case "$CODEC" in
  h264|jpeg|mpeg4|ulaw|metadata) ;;
  *) echo "demo.sh: --codec takes h264, jpeg, mpeg4, ulaw or metadata, not '$CODEC'" >&2; exit 2 ;;
esac
if ! [[ "$SECONDS_TO_RUN" =~ ^[0-9]+$ ]] || [ "$SECONDS_TO_RUN" -lt 1 ] || [ "$SECONDS_TO_RUN" -gt 600 ]; then
  echo "demo.sh: --seconds takes a whole number from 1 to 600, not '$SECONDS_TO_RUN'" >&2
  exit 2
fi
if [[ " ${STREAM_FLAGS[*]} " == *" --tcp "* && " ${STREAM_FLAGS[*]} " == *" --multicast "* ]]; then
  echo "demo.sh: --tcp and --multicast exclude each other (a TCP connection has one receiver)" >&2
  exit 2
fi

if [ "$(id -u)" -ne 0 ]; then
  cat >&2 <<EOF
demo.sh needs root: it runs the daemon and its receiver in private network
and mount namespaces (unshare, a veth pair, tmpfs mounts), and its set-up
installs Debian packages. Run it as root, for example:
  sudo $0 ${ARGS[*]}
EOF
  exit 1
fi

step() { printf '== %s\n' "$*"; }

if [ "$SETUP" -eq 1 ]; then
  step "set-up"
  "$ROOT/scripts/setup.sh" || { echo "demo.sh: set-up failed" >&2; exit 1; }
fi

step "build in ${BUILD#"$ROOT"/}"
mkdir -p "$BUILD"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/demo-configure.log" 2>&1 || {
    tail -30 "$BUILD/demo-configure.log" >&2
    echo "demo.sh: configuring the build failed (log: $BUILD/demo-configure.log)" >&2
    exit 1
  }
fi
cmake --build "$BUILD" -j "$(nproc)" --target "${TARGETS[@]}" >"$BUILD/demo-build.log" 2>&1 || {
  tail -30 "$BUILD/demo-build.log" >&2
  echo "demo.sh: the build failed (log: $BUILD/demo-build.log)" >&2
  exit 1
}

step "test media in ${BUILD#"$ROOT"/}/test-media"
MEDIA=$BUILD/test-media
sh "$ROOT/scripts/demo/media.sh" "$MEDIA" || { echo "demo.sh: making the test clips failed" >&2; exit 1; }

if [ "$MODE" = serve ]; then
  step "serving the device on this host's network (Ctrl-C ends it)"
  SERVE_SECONDS=0
  [ "$SECONDS_GIVEN" -eq 1 ] && SERVE_SECONDS=$SECONDS_TO_RUN
  exec unshare --mount --propagation private -- \
    bash "$ROOT/scripts/demo/serve.sh" --bin "$BUILD/bin" --media "$MEDIA" --seconds "$SERVE_SECONDS"
fi
STREAM_SCRIPT=stream.sh
[ "$MODE" = rtsp ] && STREAM_SCRIPT=rtsp.sh

rm -rf "$OUT"
mkdir -p "$OUT"
step "stream (sandbox: this host 198.51.100.1 / 2001:db8::1, receiving host 198.51.100.2 / 2001:db8::2)"
"$BUILD/bin/avtd-sandbox" --syslog "$OUT/syslog.txt" -- \
  bash "$ROOT/scripts/demo/$STREAM_SCRIPT" --bin "$BUILD/bin" --media "$MEDIA" --out "$OUT" \
  --codec "$CODEC" --seconds "$SECONDS_TO_RUN" "${STREAM_FLAGS[@]}"
status=$?
case "$status" in
  0) ;;
  77) echo "demo.sh: the sandbox needs root" >&2 ;;
  125) echo "demo.sh: the sandbox could not be set up (see above)" >&2 ;;
  *) echo "demo.sh: the demo failed (status $status); results and logs in $OUT" >&2 ;;
esac
[ "$status" -eq 0 ] && echo "results in ${OUT#"$ROOT"/}/ (the daemon's syslog: ${OUT#"$ROOT"/}/syslog.txt)"
exit $((status == 0 ? 0 : 1))
