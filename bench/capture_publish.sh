#!/usr/bin/env bash
# `zqlive publish` through the capture path (camera source → GPU effects → encoder → RTMP) to a
# private nginx, once per configuration, and what came of it: pictures the camera delivered, dropped
# while one was being drawn and handed to the encoder; the process's CPU seconds; and what the
# ingest recorded (size, frame rate, decoded frames, decode errors).
#
# Usage: bench/capture_publish.sh [--zqlive PATH] [--seconds N] [--video SOURCE] [--keep DIR] [-- EXTRA...]
#   Defaults: build/bin/zqlive, 20 s, --video pattern, beauty on; 360x640 at 24 fps and 720x1280 at
#   30 fps. EXTRA options go to every run (e.g. --beauty off, --mirror, --watermark m.png).
#   --keep DIR leaves the recordings (and each run's preview PNG and log) there.
#   ZQLIVEKIT_EGL picks the display (surfaceless llvmpipe where there is no GPU).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
zqlive=$root/build/bin/zqlive
seconds=20
video=pattern
keep=
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --zqlive) zqlive=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --video) video=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "capture_publish: unknown argument $1" >&2; exit 2 ;;
  esac
done
for tool in ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "capture_publish: $tool missing (run scripts/setup)" >&2; exit 1; }
done
[ -x "$zqlive" ] || { echo "capture_publish: $zqlive not built (scripts/build, or --zqlive PATH)" >&2; exit 1; }

source "$root/scripts/lib/nginx-rtmp.sh"
nginx_rtmp_for_script capture_publish "$keep"
work=$SCRIPT_WORK
out=${keep:-$work}
url=$NGINX_RTMP_URL

for run in 360x640:24 720x1280:30; do
  size=${run%:*}
  fps=${run#*:}
  name=capture-$size-$fps
  TIMEFORMAT='%U %S'
  if ! { time "$zqlive" publish "$url/$name" --video "$video" --size "$size" --fps "$fps" --duration "$seconds" \
      --preview-png "$out/$name.png" "${extra[@]}" >"$out/$name.log" 2>&1; } 2>"$work/$name.time"; then
    echo "capture_publish: $name failed:" >&2
    tail -n 20 "$out/$name.log" >&2
    exit 1
  fi
  cpu=$(awk '{ printf "%.1f", $1 + $2 }' "$work/$name.time")
  counts=$(grep '"event":"capture"' "$out/$name.log" | tail -n 1)
  file=$out/$name.flv
  stream=$(ffprobe -v error -select_streams v:0 -count_frames \
    -show_entries stream=width,height,r_frame_rate,nb_read_frames -of csv=p=0 "$file")
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
  errors=$(ffmpeg -nostdin -v error -i "$file" -f framecrc - 2>&1 >/dev/null | wc -l)
  echo "$name ($seconds s, --video $video ${extra[*]}): CPU ${cpu} s; $counts"
  echo "  recorded: width,height,rate,frames = $stream; ${duration} s; decode error lines: $errors"
done
