#!/bin/sh
# Generates the small media clips that tests and the demo feed into frame
# stores. Idempotent: a clip that exists is kept. Usage: make-test-media.sh OUTDIR
#
#   h264.264           H.264 Annex B, 320x240, 30 frames/s, 12 s, baseline,
#                      IDR every 30 frames with SPS/PPS in front of each
#   mjpeg_std.mjpeg    concatenated JPEGs, 320x240, 30 frames/s, 12 s, the
#                      standard tables scaled for quality 75 (RFC 2435 Q 75)
#                      and the standard Huffman tables
#   mjpeg_custom.mjpeg concatenated JPEGs with the encoder's own tables (Q 255)
#                      and the standard Huffman tables
#   mjpeg_422.mjpeg    as mjpeg_std, 4:2:2 (luma 2x1, chroma 1x1)
#   mjpeg_rst.mjpeg    as mjpeg_custom, with restart markers (DRI)
#   h264_slices.264    as h264.264, four slices per picture
#   mpeg4.m4v          MPEG-4 Part 2 elementary stream, 320x240, 30 frames/s,
#                      12 s, an I-VOP every 30 frames, no B-VOPs
#   tone.ulaw          10 s of a 1 kHz tone, raw 8 kHz mu-law
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
out=$1
mkdir -p "$out"
trap 'rm -f "$out"/.*.$$.tmp' EXIT

size=320x240
rate=30
seconds=12
ff="ffmpeg -hide_banner -loglevel error -nostdin -y"
src="testsrc2=size=$size:rate=$rate"

# make NAME COMMAND...: runs COMMAND with $tmp as its output file and moves
# the result into place, so that an interrupted run leaves no partial clip
# and runs in parallel never see one.
make() {
  name=$1
  shift
  [ -s "$out/$name" ] && return 0
  tmp="$out/.$name.$$.tmp"
  rm -f "$tmp"
  "$@"
  mv "$tmp" "$out/$name"
}

h264() {
  $ff -f lavfi -i "$src" -t $seconds -c:v libx264 -preset veryfast -profile:v baseline -pix_fmt yuv420p \
    -g $rate -keyint_min $rate -sc_threshold 0 -bf 0 -x264-params repeat-headers=1 -f h264 "$tmp"
}

mjpeg_std() {
  # The JPEG library behind this encoder scales the standard tables by
  # quality exactly as RFC 2435 receivers rebuild them.
  $ff -f lavfi -i "$src" -t $seconds -pix_fmt yuv420p -f rawvideo - |
    gst-launch-1.0 -q fdsrc fd=0 ! \
      rawvideoparse width=320 height=240 framerate=$rate/1 format=i420 ! \
      jpegenc quality=75 ! filesink location="$tmp"
}

# libjpeg's 4:2:2: luma 2x1 and chroma 1x1, the sampling RFC 2435 type 0
# describes (FFmpeg's encoder writes 4:2:2 as luma 2x2, chroma 1x2).
mjpeg_422() {
  $ff -f lavfi -i "$src" -t $seconds -pix_fmt yuv422p -f rawvideo - |
    gst-launch-1.0 -q fdsrc fd=0 ! \
      rawvideoparse width=320 height=240 framerate=$rate/1 format=y42b ! \
      jpegenc quality=75 ! filesink location="$tmp"
}

# Slice threads make the encoder write a restart interval and markers.
mjpeg_rst() {
  $ff -f lavfi -i "$src" -t $seconds -c:v mjpeg -huffman default -q:v 5 -pix_fmt yuvj420p -threads 4 -slices 4 \
    -f mjpeg "$tmp"
}

h264_slices() {
  $ff -f lavfi -i "$src" -t $seconds -c:v libx264 -preset veryfast -profile:v baseline -pix_fmt yuv420p \
    -g $rate -keyint_min $rate -sc_threshold 0 -bf 0 -x264-params slices=4:repeat-headers=1 -f h264 "$tmp"
}

mjpeg_custom() {
  $ff -f lavfi -i "$src" -t $seconds -c:v mjpeg -huffman default -q:v 5 -pix_fmt yuvj420p -f mjpeg "$tmp"
}

mpeg4() {
  $ff -f lavfi -i "$src" -t $seconds -c:v mpeg4 -g $rate -bf 0 -q:v 5 -f m4v "$tmp"
}

tone() {
  $ff -f lavfi -i "sine=frequency=1000:sample_rate=8000" -t 10 -ac 1 -ar 8000 -f mulaw "$tmp"
}

make h264.264 h264
make mjpeg_std.mjpeg mjpeg_std
make mjpeg_custom.mjpeg mjpeg_custom
make mjpeg_422.mjpeg mjpeg_422
make mjpeg_rst.mjpeg mjpeg_rst
make h264_slices.264 h264_slices
make mpeg4.m4v mpeg4
make tone.ulaw tone
