#!/bin/sh
# The demo's clips in OUTDIR, made once: the test clips of
# scripts/make-test-media.sh, and demo-sweep.ulaw, 10 s of 8 kHz mu-law: a
# tone sweeping up under a swelling envelope. Unlike a steady tone, every
# stretch of it is unique, so received samples can be matched to the fed
# ones. Usage: media.sh OUTDIR
set -eu
if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
out=$1
sh "$(dirname "$0")/../make-test-media.sh" "$out"
[ -s "$out/demo-sweep.ulaw" ] && exit 0
tmp="$out/.demo-sweep.$$.tmp"
trap 'rm -f "$tmp"' EXIT
ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi \
  -i "aevalsrc=(0.3+0.6*abs(sin(PI*t)))*sin(2*PI*(300+100*t)*t):s=8000:d=10" \
  -ac 1 -ar 8000 -f mulaw "$tmp"
mv "$tmp" "$out/demo-sweep.ulaw"
