# Process and wait helpers of the demo's stream (sourced by stream.sh).

STARTED=()    # "NAME PID" of every background process we started, in order
DAEMON_PID=0  # the daemon itself, once its pid file names it

say() { printf '%s\n' "$*"; }

fail() {
  end_progress_line
  say "demo: $*" >&2
  exit 1
}

# Runs a command on the receiving host. Background jobs use the array, so
# that the job's pid is the command's own (a function would leave a shell
# between them, and a signal to it would not reach the command).
in_peer() { nsenter --net="$PEER" "$@"; }
IN_PEER=(nsenter --net="$PEER")

# start_bg NAME COMMAND...: runs COMMAND in the background, its output in
# $W/NAME.out and $W/NAME.err; its pid in the variable NAME_PID.
start_bg() {
  local name=$1
  shift
  "$@" >"$W/$name.out" 2>"$W/$name.err" &
  printf -v "${name}_PID" '%s' "$!"
  STARTED+=("$name $!")
}

alive() { [ "${1:-0}" -gt 0 ] && kill -0 "$1" 2>/dev/null; }

# wait_for SECONDS COMMAND...: true once COMMAND succeeds, polled every
# tenth of a second, at most SECONDS.
wait_for() {
  local tries=$(($1 * 10))
  shift
  while [ "$tries" -gt 0 ]; do
    "$@" && return 0
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

# wait_gone SECONDS PID: true once PID has ended.
wait_gone() { wait_for "$1" eval "! alive $2"; }

# stop PID SIGNAL SECONDS: sends SIGNAL and waits; SIGKILL after SECONDS.
stop() {
  local pid=$1 sig=$2 seconds=$3
  alive "$pid" || return 0
  kill "-$sig" "$pid" 2>/dev/null
  wait_gone "$seconds" "$pid" && return 0
  kill -KILL "$pid" 2>/dev/null
  wait_gone 2 "$pid"
}

# Everything we started, newest first; the daemon before the processes that
# feed it.
stop_all() {
  # Interrupted before its pid was known, the daemon is found by its pid file.
  [ "$DAEMON_PID" -gt 0 ] || read_pid_file
  stop "$DAEMON_PID" TERM 10
  local i
  for ((i = ${#STARTED[@]} - 1; i >= 0; i--)); do
    stop "${STARTED[i]#* }" TERM 3
  done
  STARTED=()
}

# json_num KEY FILE: the first whole number value of "KEY" in FILE, or empty.
json_num() {
  grep -o "\"$1\":-\?[0-9.]*" "$2" 2>/dev/null | head -1 | cut -d: -f2
}

# True once a UDP socket of the receiving host is bound to local port $1
# (the relay's sockets aimed at that port name it as their remote one).
peer_udp_bound() {
  local hex
  hex=$(printf '%04X' "$1")
  in_peer cat /proc/net/udp /proc/net/udp6 2>/dev/null | awk -v p=":$hex" 'substr($2, length($2) - 4) == p { f = 1 } END { exit !f }'
}
