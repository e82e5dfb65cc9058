#!/usr/bin/env bash
# Writes the engine fuzzer's seed corpus into OUT_DIR: the files make_seeds
# builds with the test AVI builder and, when ffmpeg is there, a few tiny real
# files (1 s of 64x48 video in several codecs with MP3 sound, each intact and
# with its index cut short).
#   make_seed_corpus.sh MAKE_SEEDS OUT_DIR
set -euo pipefail
make_seeds="$1"
out="$2"
real="$out.real"
rm -rf "$out" "$real"
mkdir -p "$real"

# name, then the video encoder options
encode() {
  local name="$1"; shift
  ffmpeg -nostdin -hide_banner -loglevel error -y -bitexact \
    -f lavfi -i "testsrc=size=64x48:rate=10:duration=1" \
    -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=1" \
    "$@" -g 4 -c:a libmp3lame -b:a 32k -ac 1 "$real/$name.avi"
  local size
  size=$(stat -c %s "$real/$name.avi")
  head -c $((size - 40)) "$real/$name.avi" > "$real/$name-index-cut.avi"
}

if command -v ffmpeg >/dev/null; then
  encode real-mpeg4 -c:v mpeg4 -q:v 20
  encode real-h264 -c:v libx264 -preset ultrafast -crf 45
  encode real-mjpeg -c:v mjpeg -q:v 31 -pix_fmt yuvj420p
  encode real-msmpeg4 -c:v msmpeg4 -q:v 20
else
  echo "ffmpeg not found: the seed corpus has no real files"
fi

shopt -s nullglob
"$make_seeds" "$out" "$real"/*.avi
