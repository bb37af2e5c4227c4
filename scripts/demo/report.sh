# Watching the demo's stream, ending it, and judging what arrived (sourced by
# stream.sh).

PROGRESS_OPEN=0

# Datagrams of the stream on this host's eth0, counted by wire_count.pl as
# they leave (or, for TCP, the segments this host has sent).
sent_count() {
  if [ "$TCP" -eq 1 ]; then
    awk '/^Tcp:/ { if (!n) { for (i = 1; i <= NF; i++) if ($i == "OutSegs") n = i } else print $n }' /proc/net/snmp
  else
    local n
    n=$(cat "$W/wire.count" 2>/dev/null)
    echo "${n:-0}"
  fi
}

# The count on the wire starts before the daemon does.
start_wire_count() {
  [ "$TCP" -eq 1 ] && return 0
  start_bg WIRE perl "$HERE/wire_count.pl" eth0 "$DST_PORT" "$W/wire.count"
  wait_for 5 test -s "$W/wire.count"
}

# Frames, audio blocks or documents fed so far (0 before the first).
fed_count() {
  local n
  if [ "$KIND" = metadata ]; then
    n=$(grep -c '"op":"delivery".*"result":0' "$W/eventd.log" 2>/dev/null)
  else
    n=$(json_num frames "$W/feed.json")
  fi
  echo "${n:-0}"
}

# What the receiving end has so far: decoded frames, audio or documents.
arrived_text() {
  case "$KIND" in
    video) local n
      n=$(grep -vc '^#' "$W/decoded.md5" 2>/dev/null)
      echo "decoded ${n:-0} frames" ;;
    audio) echo "received $(awk -v b="$(stat -c %s "$W/received.ulaw" 2>/dev/null || echo 0)" \
      'BEGIN { printf "%.1f", b / 8000 }') s of audio" ;;
    metadata) echo "received $(documents_received) documents" ;;
  esac
}

documents_received() { grep -o '<?xml' "$W/received.xml" 2>/dev/null | wc -l; }

# The relay's latest count: "PACKETS BYTES RTCP SR", or nothing yet.
relay_counts() {
  grep 'rtp packets' "$W/relay.err" 2>/dev/null | tail -n 1 |
    sed -n 's/^relay: \([0-9]*\) rtp packets, \([0-9]*\) bytes, \([0-9]*\) rtcp packets, \([0-9]*\) sender.*/\1 \2 \3 \4/p'
}

LAST_BYTES=0 LAST_US=0

now_us() { echo "${EPOCHREALTIME/./}"; }

# Sets PROGRESS to one line: fed, sent, received with the bit rate over the
# last interval, and what the receiving end made of it.
progress_line() {
  local unit=frames what=datagrams
  [ "$KIND" = audio ] && unit=blocks
  [ "$KIND" = metadata ] && unit=documents
  [ "$TCP" -eq 1 ] && what="TCP segments"
  local packets=0 bytes=0 rtcp=0 sr=0 now rate=0
  read -r packets bytes rtcp sr <<<"$(relay_counts)"
  now=$(now_us)
  if [ "$LAST_US" -gt 0 ] && [ "$now" -gt "$LAST_US" ]; then
    rate=$(((${bytes:-0} - LAST_BYTES) * 8000 / (now - LAST_US)))
  fi
  LAST_BYTES=${bytes:-0} LAST_US=$now
  printf -v PROGRESS '%3d s | fed %s %s | sent %s %s | received %s packets, %s kbit/s, %s SR | %s' \
    $(((now - FEED_START_US) / 1000000)) "$(fed_count)" "$unit" "$(($(sent_count) - SENT_BEFORE))" "$what" \
    "${packets:-0}" "$rate" "${sr:-0}" "$(arrived_text)"
}

# Sleeps until the given time in microseconds (at once when it has passed).
sleep_until() {
  local left=$(($1 - $(now_us)))
  [ "$left" -gt 0 ] && sleep "$(printf '%d.%06d' $((left / 1000000)) $((left % 1000000)))"
  return 0
}

show_line() {
  if [ -t 1 ]; then
    printf '\r%s\033[K' "$1"
    PROGRESS_OPEN=1
  else
    printf '%s\n' "$1"
  fi
}

end_progress_line() {
  if [ "$PROGRESS_OPEN" -eq 1 ]; then
    printf '\n'
    PROGRESS_OPEN=0
  fi
}

# One line a second for the length of the run (the feeder goes on a little
# longer: the daemon is stopped while frames still come, as on a device).
show_progress() {
  local ticks=0
  while [ "$ticks" -lt "$SECONDS_TO_RUN" ]; do
    ticks=$((ticks + 1))
    sleep_until $((FEED_START_US + ticks * 1000000))
    progress_line
    show_line "$PROGRESS"
    if ! alive "$DAEMON_PID"; then
      end_progress_line
      say "demo: the daemon ended while streaming"
      break
    fi
    if [ "$KIND" != metadata ] && ! alive "$FEEDER_PID"; then
      end_progress_line
      say "demo: the feeder ended while streaming"
      break
    fi
  done
}

# The counts that show whether anything still moves at the receiving end.
arrival_state() { echo "$(relay_counts) $(arrived_text)"; }

# Stops the daemon while its source still delivers (its exit status), then
# the source, lets the last packets arrive, then the receivers, so that
# rtp-probe writes its final report.
wind_down() {
  FED_AT_STOP=$(fed_count)
  if [ "$KIND" = metadata ]; then
    # A document delivered just now reaches the daemon at its next poll.
    wait_for 3 eval '[ "$(documents_received)" -ge "$FED_AT_STOP" ]'
  fi
  DAEMON_END="when it ended by itself, before the stop"
  if alive "$DAEMON_PID"; then
    kill -TERM "$DAEMON_PID"
    DAEMON_END="after SIGTERM"
    # A metadata stream ends at its source's next poll, within 5 s.
    wait_gone 20 "$ADOPT_PID"
  fi
  stop "$ADOPT_PID" TERM 2
  DAEMON_STATUS=$(awk -v pid="$DAEMON_PID" '$1 == pid { print $2 }' "$W/avtd.exit")
  DAEMON_STATUS=${DAEMON_STATUS:-unknown}
  DAEMON_PID=0
  if [ "$KIND" = metadata ]; then
    stop "$EVENTD_PID" TERM 3
  else
    stop "$FEEDER_PID" TERM 3
    wait "$FEEDER_PID"
    FEEDER_STATUS=$?
  fi
  # Until nothing more arrives (bounded).
  local before now tries=0
  before=$(arrival_state)
  while [ "$tries" -lt 20 ]; do
    sleep 0.5
    now=$(arrival_state)
    [ "$now" = "$before" ] && break
    before=$now
    tries=$((tries + 1))
  done
  progress_line
  show_line "$PROGRESS"
  end_progress_line
  [ -n "${WIRE_PID:-}" ] && stop "$WIRE_PID" TERM 3
  SENT=$(($(sent_count) - SENT_BEFORE))
  # The relay's goodbye ends FFmpeg's input; it then writes its last frames
  # and exits by itself. Failing that, it leaves a blocked read only at a
  # second interrupt.
  stop "$RELAY_PID" TERM 5
  if ! wait_gone 10 "$FFMPEG_PID"; then
    kill -INT "$FFMPEG_PID"
    wait_gone 1 "$FFMPEG_PID" || kill -INT "$FFMPEG_PID"
    stop "$FFMPEG_PID" INT 10
  fi
  wait_gone 10 "$PROBE_PID" || stop "$PROBE_PID" TERM 2
  wait "$PROBE_PID"
  PROBE_STATUS=$?
  head -1 "$W/PROBE.out" >"$W/probe.json"
}
