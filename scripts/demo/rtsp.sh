#!/usr/bin/env bash
# The demo's stream played by FFmpeg as an RTSP client (scripts/demo.sh
# --rtsp enters the sandbox and runs this): avtd-rtspd and the frame store
# on this host, FFmpeg opening rtsp://198.51.100.1:8554/... on the receiving
# host in $AVTD_PEER_NETNS. The verdict is the demo's: every frame fed
# after the daemon started decoded, in order and identical.
#
#   rtsp.sh --bin DIR --media DIR --out DIR [--codec h264|jpeg|mpeg4|ulaw]
#           [--seconds N] [--tcp | --multicast] [--ipv6]
#
# Exit status 0 when the stream arrived intact, 1 when it did not, 2 on a
# usage error.
set -uo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=/dev/null
. "$HERE/parts.sh"

read_stream_args rtsp.sh "$@"
if [ -z "$BIN" ] || [ -z "$MEDIA" ] || [ -z "$OUT" ] || [ "$CODEC" = metadata ]; then
  echo "rtsp.sh: --bin, --media and --out are needed; the codec is h264, jpeg, mpeg4 or ulaw" >&2
  exit 2
fi
mkdir -p "$OUT" || exit 2
BIN=$(realpath "$BIN") MEDIA=$(realpath "$MEDIA") OUT=$(realpath "$OUT")

FPS=30
PREFEED=2        # frames in the store before the player: the daemon begins at the next key frame
AUDIO_BLOCK=320  # mu-law bytes per store block (40 ms)
AUDIO_UNIT=512   # mu-law bytes per packet
# Frames fed after the measured ones: FFmpeg's parser and decoder keep the
# newest frames until more arrive, and over RTSP nothing ends its input.
HELD=10
choose_codec "$CODEC" || exit 2
SERVER=198.51.100.1
[ "$IPV6" -eq 1 ] && SERVER="[2001:db8::1]"
URL="rtsp://$SERVER:8554/$CODEC"
TRANSPORT=udp WHERE="UDP unicast"
[ "$TCP" -eq 1 ] && TRANSPORT=tcp WHERE="RTP over the RTSP connection (TCP)"
[ "$MULTICAST" -eq 1 ] && TRANSPORT=udp_multicast WHERE="UDP multicast"

W=$(mktemp -d /tmp/demo.XXXXXX)
finish() {
  local status=$?
  stop_all
  if [ "$status" -ne 0 ]; then
    mkdir -p "$OUT/logs" && cp "$W"/*.err "$W"/*.out "$OUT/logs/" 2>/dev/null
    say "demo: the logs of the run are in $OUT/logs/" >&2
  fi
  cd / && rm -rf "$W"
}
trap finish EXIT
trap 'exit 130' INT TERM
cd "$W" || exit 1

start_bg RTSPD "$BIN/avtd-rtspd" --framerate $FPS
wait_for 5 grep -qs "serving RTSP" "$W/RTSPD.err" || fail "avtd-rtspd did not start: $(cat "$W/RTSPD.err")"
prepare_source || fail "the source could not be prepared"

case "$KIND" in
  video) outputs=(-map 0:v -fps_mode passthrough -f framemd5 "$W/decoded.md5"
                  -map 0:v -fps_mode passthrough -c:v ffv1 -f nut "$W/decoded.nut") ;;
  audio) outputs=(-map 0:a -c:a copy -f mulaw "$W/received.ulaw") ;;
esac
say "playing $TITLE from $URL ($WHERE) for $SECONDS_TO_RUN s"
start_bg FFMPEG "${IN_PEER[@]}" ffmpeg -hide_banner -loglevel warning -nostdin -rtsp_transport $TRANSPORT -reorder_queue_size 0 -threads 1 \
  -i "$URL" -flush_packets 1 "${outputs[@]}"
# The player's PLAY starts the daemon; the feed begins once it has mapped
# the store, as in the plain demo.
wait_for 20 read_pid_file || fail "no daemon started: $(cat "$W/FFMPEG.err" "$W/RTSPD.err")"
wait_for 20 grep -qs ' /tmp/shm[0-9]$' "/proc/$DAEMON_PID/maps" || fail "the daemon did not open the store"

if [ "$KIND" = video ]; then
  # The demo's feed, HELD frames longer.
  start_bg FEEDER "$BIN/frame-feeder" --codec "$FEED" --channel 0 --input "$CLIP" --fps $FPS \
    --frames $((SECONDS_TO_RUN * FPS + HELD)) --loop --keep --status "$W/feed.json"
else
  start_feed
fi
ticks=0
while alive "$FEEDER_PID" && [ "$ticks" -lt $((SECONDS_TO_RUN + 30)) ]; do
  sleep 1
  ticks=$((ticks + 1))
  show_line "  fed $(json_num frames "$W/feed.json") $([ "$KIND" = audio ] && echo blocks || echo frames), $(arrived_text)"
done
end_progress_line
wait "$FEEDER_PID"
FEEDER_STATUS=$?
# Until nothing more arrives (bounded), then the player stops and tears down.
before= tries=0
while [ "$tries" -lt 20 ] && [ "$(arrived_text)" != "$before" ]; do
  before=$(arrived_text)
  sleep 0.5
  tries=$((tries + 1))
done
kill -INT "$FFMPEG_PID"
wait_gone 5 "$FFMPEG_PID" || stop "$FFMPEG_PID" INT 5
wait_gone 5 "$DAEMON_PID"
DAEMON_STATUS=$(sed -n 's/.*daemon [0-9]* ended: exit \([0-9]*\).*/\1/p' "$W/RTSPD.err" | head -1)
DAEMON_STATUS=${DAEMON_STATUS:-unknown}
DAEMON_PID=0
stop "$RTSPD_PID" TERM 10
wait "$RTSPD_PID"
RTSPD_STATUS=$?

# The demo's verdict, without the relay and probe of the plain demo.
PROBE_STATUS=0
echo '{"result":"clean"}' >"$W/probe.json"
judge
if [ "$KIND" = video ] && [ "$INTACT" -eq 0 ]; then
  # Intact too when only the last of the frames fed beyond the measured
  # ones stayed inside the player.
  for ((held = 1; held <= HELD; held++)); do
    head -n $((PREFEED + FED - held)) "$W/fed.list" >"$W/fed-shown.list"
    if CHECK=$(perl "$HERE/check.pl" frames "$W/fed-shown.list" "$W/decoded.list" $PREFEED); then
      INTACT=1
      CHECK="$CHECK; the player still held the last $held fed when it stopped"
      break
    fi
  done
fi
make_pictures
{
  say ""
  say "avtd demo over RTSP: $TITLE from $URL, $WHERE, $SECONDS_TO_RUN s"
  say "  fed        $FED, after $PREFEED already in the store when the player started"
  say "  arrived    $ARRIVED ($( [ "$KIND" = audio ] && echo bytes || echo frames) by FFmpeg)"
  say "  compared   $CHECK"
  say "  daemon     exit status $DAEMON_STATUS, after the player's TEARDOWN"
  say "  avtd-rtspd exit status $RTSPD_STATUS; its log: $OUT/rtspd.log"
  for file in "${PICTURES[@]}"; do say "  wrote      $file"; done
  if [ "$INTACT" -eq 1 ] && [ "$RTSPD_STATUS" -eq 0 ]; then
    say "RESULT: the stream arrived intact"
  else
    say "RESULT: the stream did NOT arrive intact"
  fi
} >"$W/summary.txt"
cp "$W/RTSPD.err" "$OUT/rtspd.log"
cp "$W/summary.txt" "$OUT/summary.txt"
cat "$W/summary.txt"
[ "$INTACT" -eq 1 ] && [ "$RTSPD_STATUS" -eq 0 ]
