#!/usr/bin/env bash
# The daemon side by side with the floor (bare sendto calls of the same
# datagrams) and with GStreamer and FFmpeg, on one 1080p H.264 clip of about
# 20 Mbit/s made here, in the sandbox: senders in its namespace, the
# receiving host behind the veth pair. Every send path of the daemon (bursts
# with UDP segmentation offload; sendmmsg and one send per packet, as on
# kernels without UDP_SEGMENT or sendmmsg) beside the floor of its kind, on
# both NIC models (eth0 without segmentation offload, as on the device, and
# with it) and over IPv4 and IPv6. Prints the machine, the load and Markdown
# tables of medians over the repetitions.
#
#   scripts/bench.sh [--runs N] [--build-dir DIR] [--no-build] [--quick]
#                    [--streams N,M] [--skip WHAT,...] [--nics M,...]
#                    [--families F,...]
#     --runs N         repetitions (default 5)
#     --build-dir DIR  where to build (default build/); clips are cached in
#                      DIR/bench-media, the report and every figure land in
#                      DIR/bench-out
#     --no-build       use what is built
#     --quick          one repetition, 16 streams only, 5 s of them
#     --streams N,M    concurrent stream counts (default 16,32)
#     --skip WHAT,...  leave out any of: unpaced, paced, streams, gstreamer,
#                      ffmpeg, experiment (sendmmsg and GSO floors),
#                      fallback (the daemon's sendmmsg and one-send paths)
#     --nics M,...     NIC models of the unpaced runs: no-offload, offload
#                      (default both)
#     --families F,... ipv4, ipv6 (default both)
#
# Needs root (namespaces, veth, mounts), ffmpeg with libx264 to make the
# clips, ethtool for the NIC models; GStreamer and FFmpeg rows appear when
# they are installed. Takes about 12 minutes with 5 repetitions. Run it on an idle machine: the figures
# are CPU times, but a busy machine still shifts them.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build RUNS=5 BUILD_IT=1 STREAMS=16,32 STREAM_SECONDS=10 SKIP= NICS=no-offload,offload FAMILIES=ipv4,ipv6

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=${2:-}; shift ;;
    --build-dir) BUILD=$(realpath -m "${2:-}"); shift ;;
    --no-build) BUILD_IT=0 ;;
    --quick) RUNS=1 STREAMS=16 STREAM_SECONDS=5 ;;
    --streams) STREAMS=${2:-}; shift ;;
    --skip) SKIP=${2:-}; shift ;;
    --nics) NICS=${2:-}; shift ;;
    --families) FAMILIES=${2:-}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
if ! [[ "$RUNS" =~ ^[0-9]+$ ]] || [ "$RUNS" -lt 1 ] || [ "$RUNS" -gt 50 ]; then
  echo "bench.sh: --runs takes 1 to 50, not '$RUNS'" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "bench.sh needs root: the senders and the receiving host run in network namespaces of their own" >&2
  exit 1
fi
command -v ffmpeg >/dev/null || { echo "bench.sh: ffmpeg (with libx264) is needed to make the clip" >&2; exit 1; }
command -v ethtool >/dev/null || { echo "bench.sh: ethtool is needed for the NIC models (scripts/setup.sh installs it)" >&2; exit 1; }

step() { printf '== %s\n' "$*" >&2; }

TARGETS=(avtd avtd-sandbox frame-feeder mini-sessiond avtd-bench floor_sender store_echo)
if [ "$BUILD_IT" -eq 1 ]; then
  step "build in ${BUILD#"$ROOT"/}"
  mkdir -p "$BUILD"
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/bench-configure.log" 2>&1 || {
      tail -30 "$BUILD/bench-configure.log" >&2; exit 1; }
  fi
  cmake --build "$BUILD" -j "$(nproc)" --target "${TARGETS[@]}" kernel_faults >"$BUILD/bench-build.log" 2>&1 || {
    tail -30 "$BUILD/bench-build.log" >&2; echo "bench.sh: the build failed" >&2; exit 1; }
fi
for t in "${TARGETS[@]}"; do
  [ -x "$BUILD/bin/$t" ] || { echo "bench.sh: $BUILD/bin/$t is missing (build it, or drop --no-build)" >&2; exit 1; }
done

# The clips, made once: a moving test pattern under fresh noise in every
# frame, so that the encoder really spends the bit rate; one key frame a
# second, no B-frames, parameter sets with every key frame.
MEDIA=$BUILD/bench-media
mkdir -p "$MEDIA"
make_clip() { # NAME MBIT SECONDS
  local out=$MEDIA/$1 tmp=$MEDIA/.$1.$$.tmp
  [ -s "$out" ] && return 0
  step "making $1 (1080p, ${2} Mbit/s, $3 s)"
  ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "testsrc2=size=1920x1080:rate=30" \
    -vf "noise=alls=20:allf=t" -t "$3" -c:v libx264 -preset veryfast -profile:v baseline -pix_fmt yuv420p \
    -b:v "${2}M" -maxrate "${2}M" -bufsize "${2}M" -g 30 -keyint_min 30 -sc_threshold 0 -bf 0 \
    -x264-params repeat-headers=1 -f h264 "$tmp" && mv "$tmp" "$out"
  local status=$?
  rm -f "$tmp"
  return $status
}
make_clip clip-20mbit.h264 20 10 || exit 1
make_clip clip-8mbit.h264 8 10 || exit 1
LONG=$MEDIA/clip-20mbit-x3.h264
if [ ! -s "$LONG" ]; then
  cat "$MEDIA/clip-20mbit.h264" "$MEDIA/clip-20mbit.h264" "$MEDIA/clip-20mbit.h264" >"$LONG.tmp" && mv "$LONG.tmp" "$LONG"
fi

OUT=$BUILD/bench-out
mkdir -p "$OUT/logs"
REPORT=$OUT/report.md
rm -f "$OUT/latency.tsv"

machine() {
  local model cores
  model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
  cores=$(nproc)
  printf -- '- machine: %s, %s cores, %s MiB memory; kernel %s\n' "${model:-unknown CPU}" "$cores" \
    "$(awk '/^MemTotal/ { printf "%d", $2 / 1024 }' /proc/meminfo)" "$(uname -r)"
  printf -- '- versions: %s; %s\n' "$(ffmpeg -version | head -1 | cut -d' ' -f1-3)" \
    "$( (gst-launch-1.0 --version 2>/dev/null || echo 'GStreamer not installed') | head -1)"
}
load() { cut -d' ' -f1-3 /proc/loadavg; }

{
  echo "# scripts/bench.sh --runs $RUNS${SKIP:+ --skip $SKIP} --streams $STREAMS --nics $NICS --families $FAMILIES ($(date -u '+%Y-%m-%d %H:%M UTC'))"
  echo
  machine
  echo "- load average (1, 5, 15 min) before: $(load)"
} | tee "$REPORT"

step "measuring ($RUNS repetitions; progress below, the table at the end)"
"$BUILD/bin/avtd-sandbox" --syslog "$OUT/logs/syslog.txt" -- \
  "$BUILD/bin/avtd-bench" --bin "$BUILD/bin" --clip "$MEDIA/clip-20mbit.h264" --long-clip "$LONG" \
  --streams-clip "$MEDIA/clip-8mbit.h264" --runs "$RUNS" --work "$OUT/logs" --tsv "$OUT/figures.tsv" \
  --streams "$STREAMS" --streams-seconds "$STREAM_SECONDS" --latency-log "$OUT/latency.tsv" \
  --nics "$NICS" --families "$FAMILIES" \
  ${SKIP:+--skip "$SKIP"} >"$OUT/table.md"
status=$?
{
  echo "- load average after: $(load)"
  cat "$OUT/table.md"
} | tee -a "$REPORT"
case "$status" in
  0) echo "report: ${REPORT#"$ROOT"/}, every figure: ${OUT#"$ROOT"/}/figures.tsv" >&2 ;;
  77) echo "bench.sh: the sandbox needs root" >&2 ;;
  *) echo "bench.sh: the benchmark failed (status $status); logs in ${OUT#"$ROOT"/}/logs" >&2 ;;
esac
exit "$status"
