#!/usr/bin/env bash
# Publishes the same ten seconds of synthetic media twice to one local nginx RTMP ingest, once with
# `zqlive publish` and once with the ffmpeg command line, and prints the CPU seconds (user + system)
# each process used and their ratio. Both sides: 720x1280 at 30 fps, H.264 from libx264 with the same
# preset, zero-latency tuning, no B-frames, 1200 kbit/s (peak 1.5x in a one-second buffer), a key
# frame every 2 s, Baseline profile; AAC-LC at 128 kbit/s, 44.1 kHz stereo; paced in real time.
#
# Usage: bench/publish_cpu.sh [--zqlive PATH] [--only zqlive|ffmpeg] [--seconds N] [--preset NAME]
#   PATH defaults to build/bin/zqlive. The kit pads a 720x1280 picture to 722x1282 (its system
#   version 15 rule), 0.5% more pixels than ffmpeg encodes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
zqlive=$root/build/bin/zqlive
only=
seconds=10
preset=veryfast
size=720x1280
fps=30
kbps=1200
while [ $# -gt 0 ]; do
  case $1 in
    --zqlive) zqlive=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --preset) preset=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "publish_cpu: unknown argument $1" >&2; exit 2 ;;
  esac
done

nginx=/usr/sbin/nginx
module=/usr/lib/nginx/modules/ngx_rtmp_module.so
for tool in "$nginx" ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "publish_cpu: $tool missing (run scripts/setup)" >&2; exit 1; }
done
[ -r "$module" ] || { echo "publish_cpu: $module missing (run scripts/setup)" >&2; exit 1; }
if [ "$only" != ffmpeg ] && [ ! -x "$zqlive" ]; then
  echo "publish_cpu: $zqlive not built (scripts/build, or --zqlive PATH)" >&2
  exit 1
fi

source "$root/scripts/lib/nginx-rtmp.sh"
nginx_rtmp_for_script publish_cpu
work=$SCRIPT_WORK
url=$NGINX_RTMP_URL
gop=$((fps * 2))

# Runs a command, leaving "user system" CPU seconds in $work/$1.time.
measure() {
  local name=$1
  shift
  local TIMEFORMAT='%U %S'
  if ! { time "$@" >"$work/$name.log" 2>&1; } 2>"$work/$name.time"; then
    echo "publish_cpu: $name failed:" >&2
    tail -n 20 "$work/$name.log" >&2
    exit 1
  fi
}

cpu() { awk '{ printf "%.2f", $1 + $2 }' "$work/$1.time"; }

# What reached the ingest: video packets and duration of the recording.
received() {
  local file=$work/$1.flv
  [ -s "$file" ] || { echo "nothing recorded"; return; }
  local frames duration
  frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$file")
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
  printf '%s video packets, %.1f s' "$frames" "$duration"
}

if [ "$only" != ffmpeg ]; then
  measure zqlive env ZQLIVEKIT_X264_PRESET="$preset" ZQLIVEKIT_H264_ENCODER=libx264 \
    "$zqlive" publish "$url/zqlive" --size "$size" --fps "$fps" --bitrate "$kbps" --audio-quality 2 --duration "$seconds"
fi
if [ "$only" != zqlive ]; then
  measure ffmpeg ffmpeg -hide_banner -nostdin -loglevel error \
    -re -f lavfi -i "testsrc2=size=$size:rate=$fps" \
    -re -f lavfi -i "sine=frequency=440:sample_rate=44100" \
    -t "$seconds" \
    -c:v libx264 -preset "$preset" -tune zerolatency -bf 0 -profile:v baseline -pix_fmt yuv420p \
    -b:v "${kbps}k" -maxrate "$((kbps * 3 / 2))k" -bufsize "$((kbps * 3 / 2))k" -g "$gop" \
    -c:a aac -b:a 128k -ar 44100 -ac 2 \
    -f flv "$url/ffmpeg"
fi

echo "publish_cpu: ${seconds} s of ${size} at ${fps} fps, ${kbps} kbit/s, x264 preset ${preset}, AAC 128 kbit/s"
if [ "$only" != ffmpeg ]; then echo "zqlive publish: $(cpu zqlive) CPU s ($(received zqlive))"; fi
if [ "$only" != zqlive ]; then echo "ffmpeg:         $(cpu ffmpeg) CPU s ($(received ffmpeg))"; fi
if [ -z "$only" ]; then
  awk -v a="$(cpu zqlive)" -v b="$(cpu ffmpeg)" \
    'BEGIN { if (b > 0) printf "ratio zqlive/ffmpeg: %.2f\n", a / b; else print "ratio: n/a" }'
fi
