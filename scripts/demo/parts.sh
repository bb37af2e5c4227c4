# The pieces of the demo's stream: what is sent, where to, and the programs
# on both ends (sourced by stream.sh and rtsp.sh, with HERE set), with the
# process, report and verdict helpers they use.

PEER=${AVTD_PEER_NETNS:-/run/netns/peer}
for part in procs report verdict; do
  # shellcheck source=/dev/null
  . "$HERE/$part.sh"
done

# read_stream_args SCRIPT ARGS...: the options of the stream scripts.
read_stream_args() {
  local script=$1
  shift
  BIN= MEDIA= OUT= CODEC=h264 SECONDS_TO_RUN=10 MULTICAST=0 IPV6=0 TCP=0
  while [ $# -gt 0 ]; do
    case "$1" in
      --bin) BIN=$2; shift ;;
      --media) MEDIA=$2; shift ;;
      --out) OUT=$2; shift ;;
      --codec) CODEC=$2; shift ;;
      --seconds) SECONDS_TO_RUN=$2; shift ;;
      --multicast) MULTICAST=1 ;;
      --ipv6) IPV6=1 ;;
      --tcp) TCP=1 ;;
      *) echo "$script: unknown option $1" >&2; exit 2 ;;
    esac
    shift
  done
}

# choose_codec NAME: what the feeder, the daemon and the receivers get.
choose_codec() {
  EXTRA=()
  case "$1" in
    h264)
      KIND=video FEED=h264 CLIP=$MEDIA/h264.264 CLIP_FORMAT=h264 DATATYPE=h264 PT=96
      TITLE="H.264 video" EXTRA=(--framerate=$FPS --bitrate=2000) ;;
    jpeg)
      KIND=video FEED=jpeg CLIP=$MEDIA/mjpeg_std.mjpeg CLIP_FORMAT=mjpeg DATATYPE=jpeg PT=26
      TITLE="JPEG video with RFC 2435 headers" EXTRA=(--enable-rfc2435 --framerate=$FPS --bitrate=4000) ;;
    mpeg4)
      KIND=video FEED=mpeg4 CLIP=$MEDIA/mpeg4.m4v CLIP_FORMAT=m4v DATATYPE=mpeg4 PT=120
      TITLE="MPEG-4 video" EXTRA=(--framerate=$FPS --bitrate=2000) ;;
    ulaw)
      KIND=audio FEED=ulaw CLIP=$MEDIA/demo-sweep.ulaw CLIP_FORMAT=mulaw DATATYPE=ulaw PT=0
      TITLE="mu-law audio" EXTRA=(--bitrate=64) ;;
    metadata)
      KIND=metadata FEED= CLIP= CLIP_FORMAT= DATATYPE=onvif_motion PT=107
      TITLE="ONVIF metadata" ;;
    *)
      echo "stream.sh: unknown codec $1 (h264, jpeg, mpeg4, ulaw or metadata)" >&2
      return 1 ;;
  esac
  if [ -n "$CLIP" ] && [ ! -s "$CLIP" ]; then
    echo "stream.sh: $CLIP is missing" >&2
    return 1
  fi
}

# choose_destination: the daemon's options, and where the receiver listens.
choose_destination() {
  if [ "$TCP" -eq 1 ] && [ "$MULTICAST" -eq 1 ]; then
    echo "stream.sh: --tcp and --multicast exclude each other" >&2
    return 1
  fi
  local family=IPv4
  if [ "$MULTICAST" -eq 1 ]; then
    HOST=239.1.2.3
    [ "$IPV6" -eq 1 ] && HOST=ff15::a:1
  else
    HOST=198.51.100.2
    [ "$IPV6" -eq 1 ] && HOST=2001:db8::2
  fi
  [ "$IPV6" -eq 1 ] && family=IPv6
  DAEMON_OPTIONS=(--datatype="$DATATYPE" --host="$HOST" --dstport=$DST_PORT --ttl=64 --tos=0 --device=eth0)
  if [ "$TCP" -eq 1 ]; then
    # The connection's owner names the session, as an RTSP server would.
    DAEMON_OPTIONS+=(--protocol=rtp_tcp --interleaved=0-1 --session_id=$SESSION)
  else
    DAEMON_OPTIONS+=(--protocol=rtp_udp)
    # Metadata streams do not register: they are always given their session.
    [ "$KIND" = metadata ] && DAEMON_OPTIONS+=(--session_id=$SESSION)
  fi
  DAEMON_OPTIONS+=("${EXTRA[@]}")
  local address=$HOST
  [ "$IPV6" -eq 1 ] && address="[$HOST]"
  if [ "$TCP" -eq 1 ]; then
    WHERE="$address:$DST_PORT, interleaved on TCP ($family)"
  elif [ "$MULTICAST" -eq 1 ]; then
    WHERE="group $address:$DST_PORT ($family multicast, UDP)"
  else
    WHERE="$address:$DST_PORT ($family unicast, UDP)"
  fi
}

# The document the event service delivers; every one received must equal it.
write_metadata_document() {
  cat >"$1" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<tt:MetadataStream xmlns:tt="http://www.onvif.org/ver10/schema" xmlns:wsnt="http://docs.oasis-open.org/wsn/b-2" xmlns:tns1="http://www.onvif.org/ver10/topics"><tt:Event><wsnt:NotificationMessage><wsnt:Topic Dialect="http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet">tns1:VideoSource/MotionAlarm</wsnt:Topic><wsnt:Message><tt:Message UtcTime="2024-01-01T12:00:00Z" PropertyOperation="Changed"><tt:Source><tt:SimpleItem Name="Source" Value="VideoSource_1"/></tt:Source><tt:Data><tt:SimpleItem Name="State" Value="true"/></tt:Data></tt:Message></wsnt:Message></wsnt:NotificationMessage></tt:Event></tt:MetadataStream>
EOF
}

# The store with its first frames (the daemon then starts at the next key
# frame, and avtd-sdp reads the parameter sets), or the event service.
prepare_source() {
  if [ "$KIND" = metadata ]; then
    write_metadata_document "$W/document.xml"
    start_bg EVENTD "$BIN/mini-eventd" --interval-ms 200 --payload "$W/document.xml" --log "$W/eventd.log"
    wait_for 5 grep -q 00000200= /tmp/onvif_ipc_sockd 2>/dev/null
    return
  fi
  timeout 30 "$BIN/frame-feeder" --codec "$FEED" --channel 0 --input "$CLIP" --audio-block $AUDIO_BLOCK \
    --frames $PREFEED --unpaced --keep >"$W/prefeed.out" 2>"$W/prefeed.err"
}

# The description for FFmpeg: the same stream, as the relay hands it on over
# the receiving host's loopback.
loopback_description() {
  sed -e 's/^c=IN IP[46] .*/c=IN IP4 127.0.0.1/' \
      -e "s/^m=\\([a-z]*\\) [0-9]* [A-Z/]*/m=\\1 $DECODE_PORT RTP\\/AVP/" \
      -e '/^a=interleaved:/d' "$1"
}

# The relay on the receiving host, writing into a pipe that rtp-probe reads.
start_receiver() {
  mkfifo "$W/packets" || return 1
  start_bg PROBE "$BIN/rtp-probe" --file "$W/packets" --payload "$PT"
  local mode=udp ifindex=0
  [ "$TCP" -eq 1 ] && mode=tcp
  if [ "$MULTICAST" -eq 1 ] && [ "$IPV6" -eq 1 ]; then
    ifindex=$(in_peer ip -o link show dev eth0 | cut -d: -f1)
  fi
  "${IN_PEER[@]}" nice -n -10 perl "$HERE/relay.pl" "$mode" "$HOST" $DST_PORT $DECODE_PORT "$ifindex" >"$W/packets" 2>"$W/relay.err" &
  RELAY_PID=$!
  STARTED+=("relay $RELAY_PID")
  wait_for 5 grep -qs "relay: ready" "$W/relay.err" || {
    say "demo: the relay did not start: $(cat "$W/relay.err")" >&2
    return 1
  }
}

# FFmpeg on the receiving host: frame hashes and a lossless copy of the
# pictures, the audio bytes, or the metadata as it arrives.
start_decoder() {
  local outputs
  case "$KIND" in
    video) outputs=(-map 0:v -fps_mode passthrough -f framemd5 "$W/decoded.md5"
                    -map 0:v -fps_mode passthrough -c:v ffv1 -f nut "$W/decoded.nut") ;;
    audio) outputs=(-map 0:a -c:a copy -f mulaw "$W/received.ulaw") ;;
    metadata) outputs=(-map 0 -c copy -f data "$W/received.xml") ;;
  esac
  # Ahead of whatever else the machine runs, with seconds of the stream in
  # its socket: the receiving host stands for another machine.
  start_bg FFMPEG "${IN_PEER[@]}" nice -n -10 ffmpeg -hide_banner -loglevel warning -nostdin -protocol_whitelist file,udp,rtp -buffer_size 4194304 \
    -reorder_queue_size 0 -i "$W/decode.sdp" -flush_packets 1 "${outputs[@]}"
  wait_for 10 peer_udp_bound $DECODE_PORT && alive "$FFMPEG_PID"
}

# The daemon, under adopt.pl so that its exit status is known; for TCP the
# connection is first set up and offered for hand-over.
start_daemon() {
  if [ "$TCP" -eq 1 ]; then
    local address=$HOST
    [ "$IPV6" -eq 1 ] && address="[$HOST]"
    start_bg HANDOFF "$BIN/tcp-handoff" --session $SESSION --connect "$address:$DST_PORT" --timeout 20
    wait_for 5 test -S /tmp/rtp_over_http_sock_$SESSION || {
      say "demo: tcp-handoff did not offer the connection: $(cat "$W/HANDOFF.err")" >&2
      return 1
    }
  fi
  start_bg ADOPT perl "$HERE/adopt.pl" "$W/avtd.exit" "$BIN/avtd" "${DAEMON_OPTIONS[@]}"
  # The first line is the starting process, which returns once the daemon
  # has detached.
  wait_for 10 test -s "$W/avtd.exit" || return 1
  local started
  started=$(head -1 "$W/avtd.exit" | cut -d' ' -f2)
  if [ "$started" != 0 ]; then
    say "demo: avtd ${DAEMON_OPTIONS[*]} ended with status $started: $(cat "$W/ADOPT.out" "$W/ADOPT.err")" >&2
    return 1
  fi
  wait_for 5 read_pid_file || return 1
  alive "$DAEMON_PID" || return 1
  # The feed starts once the daemon has mapped the store: frames published
  # before that are not its to send (on a busy machine that can take a while).
  [ "$KIND" = metadata ] || wait_for 20 grep -qs ' /tmp/shm[0-9]$' "/proc/$DAEMON_PID/maps"
}

# Sets DAEMON_PID once the daemon's pid file names a process.
read_pid_file() {
  local file pid
  file=$(compgen -G "/run/avtd_*.pid" | head -1)
  [ -n "$file" ] || return 1
  pid=$(cat "$file" 2>/dev/null)
  [[ "$pid" =~ ^[1-9][0-9]*$ ]] || return 1
  DAEMON_PID=$pid
}

# The frames (or audio blocks) of the demo, paced in real time, for the
# run and EXTRA seconds more; metadata comes by itself.
start_feed() {
  local extra_seconds=${1:-0}
  FEED_START_US=$(now_us)
  case "$KIND" in
    video) FEED_TOTAL=$(((SECONDS_TO_RUN + extra_seconds) * FPS)) ;;
    audio) FEED_TOTAL=$(((SECONDS_TO_RUN + extra_seconds) * 8000 / AUDIO_BLOCK)) ;;
    metadata) FEED_TOTAL=0; return ;;
  esac
  start_bg FEEDER "$BIN/frame-feeder" --codec "$FEED" --channel 0 --input "$CLIP" --fps $FPS \
    --audio-block $AUDIO_BLOCK --frames "$FEED_TOTAL" --loop --keep --status "$W/feed.json"
}
