#!/usr/bin/env bash
# Remakes docs/screenshot.png, the README's picture of the window: a clip made
# by ffmpeg has its index cut off, is added to the real window and repaired,
# and the window is rendered under a virtual X server.
# Needs: ffmpeg, xvfb (xvfb-run), a configured build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

cmake --build "$build" --target make_screenshot
# A fixed folder, so the picture shows a plausible path.
work=/tmp/reelwright-demo
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Videos"
ffmpeg -loglevel error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440 \
  -t 12 -c:v mpeg4 -q:v 5 -c:a libmp3lame -shortest "$work/Videos/holiday.avi"
# An interrupted download with a stretch of garbage in the middle: the index
# is missing and 4 KiB of the movi data are overwritten.
python3 - "$work/Videos/holiday.avi" <<'PY'
import random, sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
data = data[:data.rfind(b'idx1')]
middle = len(data) // 2
data[middle:middle + 4096] = random.Random(7).randbytes(4096)
open(path, 'wb').write(data)
PY
(cd "$work" && HOME="$work" xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb \
  "$OLDPWD/$build/bin/make_screenshot" Videos/holiday.avi "$OLDPWD/docs/screenshot.png")
echo "wrote docs/screenshot.png"
