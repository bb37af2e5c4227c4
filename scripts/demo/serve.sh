#!/usr/bin/env bash
# The whole device on this host's own network, for any player on the LAN
# (scripts/demo.sh --serve runs this in a private mount namespace): a
# looping test pattern per stream kind in the frame stores (H.264 on
# channel 0, JPEG on 1, MPEG-4 on 2, mu-law audio) and avtd-rtspd on port
# 8554 of every address. There is no authentication: run it on a trusted
# network only.
#
#   serve.sh --bin DIR --media DIR [--seconds N]   (0: until interrupted)
set -uo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
PEER=none # no receiving host: players come from the network
BIN= MEDIA= SECONDS_TO_RUN=0
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) BIN=$2; shift ;;
    --media) MEDIA=$2; shift ;;
    --seconds) SECONDS_TO_RUN=$2; shift ;;
    *) echo "serve.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$BIN" ] && [ -n "$MEDIA" ] || { echo "serve.sh: --bin and --media are needed" >&2; exit 2; }
BIN=$(realpath "$BIN") MEDIA=$(realpath "$MEDIA")

# Private /tmp and /run: the stores, /tmp/session and the pid files are this
# run's alone; the host's own stay untouched.
mount -t tmpfs -o mode=1777 tmpfs /tmp && mount -t tmpfs -o mode=755 tmpfs /run || {
  echo "serve.sh: needs root and a private mount namespace" >&2
  exit 1
}
W=/tmp/serve
mkdir -p "$W"
for part in procs report; do
  # shellcheck source=/dev/null
  . "$HERE/$part.sh"
done
# avtd-rtspd first: it stops its daemons before the feeders go.
trap 'stop "${RTSPD_PID:-0}" TERM 15; stop_all; exit 0' EXIT
trap 'exit 0' INT TERM
read_pid_file() { return 1; } # stop_all's daemon lookup: avtd-rtspd stops its own

start_bg H264 "$BIN/frame-feeder" --codec h264 --channel 0 --input "$MEDIA/h264.264" --loop
start_bg JPEG "$BIN/frame-feeder" --codec jpeg --channel 1 --input "$MEDIA/mjpeg_std.mjpeg" --loop
start_bg MPEG4 "$BIN/frame-feeder" --codec mpeg4 --channel 2 --input "$MEDIA/mpeg4.m4v" --loop
start_bg ULAW "$BIN/frame-feeder" --codec ulaw --channel 0 --input "$MEDIA/demo-sweep.ulaw" --loop
wait_for 10 test -e /tmp/shm0 -a -e /tmp/shm1 -a -e /tmp/shm2 -a -e /tmp/shm4 ||
  fail "the feeders did not start: $(cat "$W"/*.err)"
"$BIN/avtd-rtspd" --framerate 30 2> >(tee "$W/rtspd.log" >&2) &
RTSPD_PID=$!
STARTED+=("RTSPD $RTSPD_PID")
wait_for 5 grep -qs "serving RTSP" "$W/rtspd.log" || fail "avtd-rtspd did not start"

say ""
say "Open these in any player (ffplay, VLC, gst-launch-1.0 playbin uri=...):"
ip -o addr show scope global | awk '{ print $4 }' | cut -d/ -f1 | while read -r address; do
  [[ "$address" == *:* ]] && address="[$address]"
  for path in ch0/h264 ch1/jpeg ch2/mpeg4 ulaw; do say "  rtsp://$address:8554/$path"; done
done
say "From this machine itself use TCP (the daemon sends no UDP to loopback):"
say "  ffplay -rtsp_transport tcp rtsp://127.0.0.1:8554/ch0/h264"
say ""
if [ "$SECONDS_TO_RUN" -gt 0 ]; then
  wait_for "$SECONDS_TO_RUN" eval '! alive $RTSPD_PID'
else
  wait "$RTSPD_PID"
fi
