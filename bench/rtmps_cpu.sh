#!/usr/bin/env bash
# CPU seconds (user + system) of `zqlive publish` for the same stream to one local nginx-rtmp, once
# over plain RTMP and once over RTMPS through nginx's TLS front end (stream module, TLS 1.3, a CA
# made here with openssl), and the ratio: what the kit's TLS and its relay add to a whole publish.
# The stream: 720x1280 at 30 fps, 1200 kbit/s, tone audio, paced in real time.
#
# Usage: bench/rtmps_cpu.sh [--zqlive PATH] [--seconds N] [--size WxH]
#   PATH defaults to build/bin/zqlive.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
zqlive=$root/build/bin/zqlive
seconds=10
size=720x1280
while [ $# -gt 0 ]; do
  case $1 in
    --zqlive) zqlive=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "rtmps_cpu: unknown argument $1" >&2; exit 2 ;;
  esac
done
for file in /usr/sbin/nginx /usr/lib/nginx/modules/ngx_rtmp_module.so /usr/lib/nginx/modules/ngx_stream_module.so; do
  [ -e "$file" ] || { echo "rtmps_cpu: $file missing (run scripts/setup)" >&2; exit 1; }
done
[ -x "$zqlive" ] || { echo "rtmps_cpu: $zqlive not built (scripts/build, or --zqlive PATH)" >&2; exit 1; }

work=$(mktemp -d)
source "$root/scripts/lib/nginx-rtmp.sh"
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && { kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $key -keyout "$work/ca.key" -out "$work/ca.pem" -subj "/CN=Bench CA" -days 1 >/dev/null 2>&1
openssl req $key -keyout "$work/server.key" -out "$work/server.csr" -subj "/CN=localhost" >/dev/null 2>&1
echo "subjectAltName=DNS:localhost" >"$work/server.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
  -out "$work/server.pem" -days 1 -extfile "$work/server.ext" >/dev/null 2>&1

rtmp_port=$(nginx_rtmp_free_port)
tls_port=$(nginx_rtmp_free_port)
cat >"$work/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
daemon off;
master_process off;
error_log $work/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:$rtmp_port; application live { live on; } } }
stream {
  server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $work/server.pem;
    ssl_certificate_key $work/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    proxy_pass 127.0.0.1:$rtmp_port;
  }
}
CONF
/usr/sbin/nginx -p "$work/" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
for _ in $(seq 100); do nginx_rtmp_accepts "$tls_port" && break; sleep 0.1; done

# CPU seconds of one publish to $1.
publish_cpu() {
  local TIMEFORMAT='%U %S'
  local times
  times=$({ time "$zqlive" publish "$1" --size "$size" --fps 30 --bitrate 1200 --duration "$seconds" \
            --ca-file "$work/ca.pem" >"$work/publish.log" 2>&1; } 2>&1) ||
    { echo "rtmps_cpu: publish to $1 failed: $(tail -3 "$work/publish.log")" >&2; exit 1; }
  awk '{ printf "%.2f", $1 + $2 }' <<<"$times"
}

plain=$(publish_cpu "rtmp://127.0.0.1:$rtmp_port/live/plain")
tls=$(publish_cpu "rtmps://localhost:$tls_port/live/tls")
grep -q '"tlsVersion":"TLS1.3"' "$work/publish.log" ||
  { echo "rtmps_cpu: the rtmps publish did not run over TLS 1.3: $(tail -1 "$work/publish.log")" >&2; exit 1; }
frames=$(grep -o '"framesSent":[0-9]*' "$work/publish.log" | tail -1)
awk -v p="$plain" -v t="$tls" -v s="$seconds" 'BEGIN {
  printf "rtmp:  %.2f CPU s for %d s (%.3f per second of stream)\n", p, s, p / s
  printf "rtmps: %.2f CPU s for %d s (%.3f per second of stream)\n", t, s, t / s
  printf "rtmps / rtmp: %.3f\n", t / p
}'
echo "rtmps run: $frames"
