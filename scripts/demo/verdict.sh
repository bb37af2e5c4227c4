# What arrived, compared with what was fed, and the demo's summary and
# pictures (sourced by stream.sh).

# Frame hashes of framemd5 output, one per line.
frame_hashes() { awk -F, '!/^#/ && NF >= 6 { gsub(/ /, "", $6); print $6 }' "$@"; }

# repeat_lines FILE COUNT: the lines of FILE over and over, COUNT in all.
repeat_lines() {
  awk -v count="$2" '{ line[n++] = $0 } END { for (i = 0; i < count && n > 0; i++) print line[i % n] }' "$1"
}

# repeat_bytes FILE COUNT: the bytes of FILE over and over, COUNT in all.
repeat_bytes() {
  local size rounds
  size=$(stat -c %s "$1")
  rounds=$(($2 / size + 1))
  for ((; rounds > 0; rounds--)); do cat "$1"; done | head -c "$2"
}

# What was fed, in order: the frames (hashes of the clip decoded directly),
# audio bytes or the document; then check.pl's verdict.
judge() {
  FED=$(fed_count)
  # Fed after the daemon was told to stop: those may go unsent, and so may
  # the last second's before it, which a daemon on a busy machine may not
  # have read yet when the stop comes.
  AFTER_STOP=$((FED - ${FED_AT_STOP:-$FED}))
  local late=$((AFTER_STOP > 0 ? AFTER_STOP + FPS : 0))
  [ "$KIND" = audio ] && late=$((AFTER_STOP > 0 ? AFTER_STOP + 8000 / AUDIO_BLOCK : 0))
  CHECK="nothing to compare"
  local ok=1
  case "$KIND" in
    video)
      ffmpeg -hide_banner -loglevel error -nostdin -f "$CLIP_FORMAT" -i "$CLIP" -fps_mode passthrough \
        -f framemd5 - 2>"$W/source.err" | frame_hashes >"$W/source.list"
      { head -n $PREFEED "$W/source.list"; repeat_lines "$W/source.list" "$FED"; } >"$W/fed.list"
      frame_hashes "$W/decoded.md5" >"$W/decoded.list" 2>/dev/null
      ARRIVED=$(wc -l <"$W/decoded.list")
      CHECK=$(perl "$HERE/check.pl" frames "$W/fed.list" "$W/decoded.list" $PREFEED $late) || ok=0 ;;
    audio)
      { head -c $((PREFEED * AUDIO_BLOCK)) "$CLIP"; repeat_bytes "$CLIP" $((FED * AUDIO_BLOCK)); } >"$W/fed.ulaw"
      ARRIVED=$(stat -c %s "$W/received.ulaw" 2>/dev/null || echo 0)
      CHECK=$(perl "$HERE/check.pl" bytes "$W/fed.ulaw" "$W/received.ulaw" $((PREFEED * AUDIO_BLOCK)) $AUDIO_UNIT \
        $((late * AUDIO_BLOCK))) || ok=0 ;;
    metadata)
      ARRIVED=$(documents_received)
      CHECK=$(perl "$HERE/check.pl" documents "$W/document.xml" "$W/received.xml") || ok=0
      if [ "$ARRIVED" -lt "${FED_AT_STOP:-$FED}" ]; then
        CHECK="$CHECK; but only $ARRIVED of the ${FED_AT_STOP:-$FED} delivered before the stop"
        ok=0
      elif [ "$ARRIVED" -lt "$FED" ]; then
        CHECK="$CHECK; the last $((FED - ARRIVED)) delivered came after the daemon was told to stop"
      fi ;;
  esac
  PROBE_RESULT=$(grep -o '"result":"[a-z ]*"' "$W/probe.json" | cut -d'"' -f4)
  [ "$PROBE_STATUS" -eq 0 ] && [ "$PROBE_RESULT" = clean ] || ok=0
  [ "$DAEMON_STATUS" = 0 ] || ok=0
  [ "$KIND" = metadata ] || [ "${FEEDER_STATUS:-1}" -eq 0 ] || ok=0
  INTACT=$ok
}

# Pictures of what arrived: a snapshot and a contact sheet of the video, a
# WAV and its waveform, the first metadata document.
make_pictures() {
  PICTURES=()
  local ff=(ffmpeg -hide_banner -loglevel error -nostdin -y)
  case "$KIND" in
    video)
      [ "$ARRIVED" -gt 0 ] || return
      local step=$(((ARRIVED + 11) / 12))
      "${ff[@]}" -i "$W/decoded.nut" -vf "select=eq(n\\,$((ARRIVED / 2)))" -frames:v 1 "$OUT/snapshot.png" &&
        PICTURES+=("$OUT/snapshot.png")
      "${ff[@]}" -i "$W/decoded.nut" -vf "select=not(mod(n\\,$step)),scale=160:-1,tile=4x3:padding=4:margin=4" \
        -fps_mode passthrough -frames:v 1 "$OUT/contact-sheet.png" && PICTURES+=("$OUT/contact-sheet.png") ;;
    audio)
      [ "$ARRIVED" -gt 0 ] || return
      "${ff[@]}" -f mulaw -ar 8000 -ac 1 -i "$W/received.ulaw" "$OUT/received.wav" && PICTURES+=("$OUT/received.wav")
      "${ff[@]}" -i "$OUT/received.wav" -filter_complex "showwavespic=s=960x240:colors=0x2a7fff" -frames:v 1 \
        "$OUT/waveform.png" && PICTURES+=("$OUT/waveform.png") ;;
    metadata)
      [ "$ARRIVED" -gt 0 ] || return
      cp "$W/received.xml" "$OUT/received.xml" && PICTURES+=("$OUT/received.xml")
      perl -0777 -ne 'print $1 if /(<\?xml.*?<\/tt:MetadataStream>)/s' "$W/received.xml" >"$OUT/first-document.xml"
      PICTURES+=("$OUT/first-document.xml") ;;
  esac
}

summarise() {
  make_pictures
  local json=$W/probe.json unit=frames
  [ "$KIND" = audio ] && unit="blocks of $AUDIO_BLOCK bytes ($((AUDIO_BLOCK / 8)) ms)"
  [ "$KIND" = metadata ] && unit="documents delivered by the event service"
  {
    say ""
    say "avtd demo: $TITLE to $WHERE, $SECONDS_TO_RUN s"
    if [ "$KIND" = metadata ]; then
      say "  fed       $FED $unit (the last $AFTER_STOP after the daemon was told to stop)"
    else
      say "  fed       $((PREFEED + FED)) $unit: $PREFEED in the store before the daemon started, $FED while it" \
        "ran (the last $AFTER_STOP after it was told to stop, which takes it up to a second)"
    fi
    case "$KIND" in
      video) say "  decoded   $ARRIVED frames by FFmpeg" ;;
      audio) say "  received  $ARRIVED bytes of audio by FFmpeg" ;;
      metadata) say "  received  $ARRIVED documents by FFmpeg" ;;
    esac
    say "  compared  $CHECK"
    if [ "$TCP" -eq 1 ]; then
      say "  packets   sent $SENT TCP segments carrying them; received $(json_num packets "$json") RTP packets," \
        "$(json_num bytes "$json") bytes, $(json_num rtcp_packets "$json") RTCP packets"
    else
      say "  packets   sent $SENT RTP datagrams on eth0; received $(json_num packets "$json") RTP packets," \
        "$(json_num bytes "$json") bytes, $(json_num rtcp_packets "$json") RTCP packets"
    fi
    say "  bit rate  $(json_num bitrate_kbps "$json") kbit/s mean (RTP, as received)"
    say "  RTCP      $(json_num sender_reports "$json") sender reports seen," \
      "$(json_num sr_packet_checked "$json") packet counts verified against what arrived"
    say "  rtp-probe ${PROBE_RESULT:-no report} (exit status $PROBE_STATUS, $(json_num violations "$json") violations," \
      "$(json_num lost "$json") lost, $(json_num warnings "$json") warnings; details in probe-report.txt)"
    # A warning is no fault of the stream, but says something a receiver may notice.
    sed -n 's/^  warning \(.*\)/  warning   \1/p' "$W/PROBE.out"
    say "  daemon    exit status $DAEMON_STATUS $DAEMON_END"
    [ "$KIND" = metadata ] || say "  feeder    exit status ${FEEDER_STATUS:-none}"
    local file
    for file in "${PICTURES[@]}" "$OUT/stream.sdp" "$OUT/probe-report.txt"; do
      say "  wrote     $file"
    done
    if [ "$INTACT" -eq 1 ]; then
      say "RESULT: the stream arrived intact"
    else
      say "RESULT: the stream did NOT arrive intact"
    fi
  } >"$W/summary.txt"
  sed 1d "$W/PROBE.out" >"$OUT/probe-report.txt"
  if [ "$INTACT" -ne 1 ]; then
    say "" >>"$W/summary.txt"
    cat "$OUT/probe-report.txt" >>"$W/summary.txt"
  fi
  cp "$W/summary.txt" "$OUT/summary.txt"
  cat "$W/summary.txt"
  if [ "$KIND" = metadata ] && [ -s "$OUT/first-document.xml" ]; then
    say ""
    say "first document received:"
    cat "$OUT/first-document.xml"
    say ""
  fi
}
