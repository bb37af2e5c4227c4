#!/usr/bin/env bash
# The demo's stream, run inside the sandbox (scripts/demo.sh enters it): the
# device side in this namespace (session daemon, frame feeder or event
# service, the daemon), the receiving host in $AVTD_PEER_NETNS (a relay that
# hands every packet to rtp-probe and to FFmpeg). Shows progress, judges what
# arrived against what was fed, and leaves pictures and a summary in OUT.
#
#   stream.sh --bin DIR --media DIR --out DIR [--codec C] [--seconds N]
#             [--multicast] [--ipv6] [--tcp]
#
# Exit status 0 when the stream arrived intact, 1 when it did not, 2 on a
# usage error.
set -uo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=/dev/null
. "$HERE/parts.sh"

read_stream_args stream.sh "$@"
if [ -z "$BIN" ] || [ -z "$MEDIA" ] || [ -z "$OUT" ]; then
  echo "stream.sh: --bin, --media and --out are needed" >&2
  exit 2
fi
mkdir -p "$OUT" || exit 2
BIN=$(realpath "$BIN") MEDIA=$(realpath "$MEDIA") OUT=$(realpath "$OUT")

DST_PORT=5000    # where the daemon sends
DECODE_PORT=7000 # where the relay hands on to FFmpeg, on the receiving host's loopback
FPS=30
PREFEED=2        # frames in the store before the daemon starts: it begins at the next key frame
SESSION=1        # the stand-in session daemon's first id
AUDIO_BLOCK=320  # mu-law bytes per store block (40 ms)
AUDIO_UNIT=512   # mu-law bytes per packet: the daemon sends whole units only

choose_codec "$CODEC" || exit 2
choose_destination || exit 2

W=$(mktemp -d /tmp/demo.XXXXXX)
# On the way out: nothing left running, and the logs of a failed run kept.
finish() {
  local status=$?
  stop_all
  if [ "$status" -ne 0 ]; then
    mkdir -p "$OUT/logs" && cp "$W"/*.err "$W"/*.out "$W"/*.log "$OUT/logs/" 2>/dev/null
    say "demo: the logs of the run are in $OUT/logs/" >&2
  fi
  cd / && rm -rf "$W"
}
trap finish EXIT
trap 'exit 130' INT TERM
# Whatever a tool writes to its working directory stays with the run.
cd "$W" || exit 1

# The device side: session daemon, and the store with its first frames (or
# the event service), so that the description can carry the stream's
# parameters.
start_bg SESSIOND "$BIN/mini-sessiond" --framerate "$FPS" --log "$W/sessiond.log"
wait_for 5 test -S /tmp/session || fail "the session daemon did not start"
prepare_source || fail "the source could not be prepared"

"$BIN/avtd-sdp" "${DAEMON_OPTIONS[@]}" >"$OUT/stream.sdp" 2>"$W/sdp.err" ||
  fail "avtd-sdp failed: $(cat "$W/sdp.err")"
loopback_description "$OUT/stream.sdp" >"$W/decode.sdp"

start_receiver || fail "the receiving host could not be set up"
start_wire_count || fail "the count of datagrams on eth0 did not start: $(cat "$W/WIRE.err")"
SENT_BEFORE=$(sent_count)
start_decoder || fail "FFmpeg did not start: $(tail -3 "$W/FFMPEG.err")"
start_daemon || fail "the daemon did not start"

say "streaming $TITLE to $WHERE for $SECONDS_TO_RUN s"
start_feed 5
show_progress
wind_down

judge
summarise
[ "$INTACT" -eq 1 ]
