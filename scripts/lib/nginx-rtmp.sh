# Starts and stops a private nginx with the RTMP module on a free loopback port, recording every
# published stream into a folder. Sourced by scripts/demo and the benchmarks.
#   nginx_rtmp_start DIR   sets NGINX_RTMP_PORT and NGINX_RTMP_PID; recordings land in DIR/NAME.flv
#   nginx_rtmp_stop
#   nginx_rtmp_for_script NAME [DIR]   for a script: a scratch folder in $SCRIPT_WORK and nginx
#                                      recording into DIR (default: the scratch folder), both gone at
#                                      exit; sets NGINX_RTMP_URL (the live application); exits on failure

nginx_rtmp_accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A loopback port nothing answers on.
nginx_rtmp_free_port() {
  local candidate
  for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 40000))
    nginx_rtmp_accepts "$candidate" || { echo "$candidate"; return 0; }
  done
  return 1
}

nginx_rtmp_start() {
  local dir=$1
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  NGINX_RTMP_DIR=$(mktemp -d)
  NGINX_RTMP_PORT=$(nginx_rtmp_free_port) || { echo "no free loopback port" >&2; return 1; }
  cat >"$NGINX_RTMP_DIR/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
error_log $NGINX_RTMP_DIR/error.log info;
pid $NGINX_RTMP_DIR/nginx.pid;
events { worker_connections 64; }
rtmp {
  server {
    listen 127.0.0.1:$NGINX_RTMP_PORT;
    application live {
      live on;
      record all;
      record_path $dir;
      record_unique off;
    }
  }
}
CONF
  nginx -p "$NGINX_RTMP_DIR/" -c "$NGINX_RTMP_DIR/nginx.conf" -e "$NGINX_RTMP_DIR/error.log" &
  NGINX_RTMP_PID=$!
  for _ in $(seq 100); do
    nginx_rtmp_accepts "$NGINX_RTMP_PORT" && return 0
    sleep 0.1
  done
  echo "nginx did not start: $(cat "$NGINX_RTMP_DIR/error.log" 2>/dev/null)" >&2
  return 1
}

nginx_rtmp_stop() {
  if [ -n "${NGINX_RTMP_PID:-}" ]; then
    kill "$NGINX_RTMP_PID" 2>/dev/null || true
    wait "$NGINX_RTMP_PID" 2>/dev/null || true
    NGINX_RTMP_PID=
  fi
  [ -n "${NGINX_RTMP_DIR:-}" ] && rm -rf "$NGINX_RTMP_DIR"
  NGINX_RTMP_DIR=
}

nginx_rtmp_for_script() {
  local name=$1
  SCRIPT_WORK=$(mktemp -d)
  trap 'nginx_rtmp_stop; rm -rf "$SCRIPT_WORK"' EXIT
  nginx_rtmp_start "${2:-$SCRIPT_WORK}" || { echo "$name: nginx did not start" >&2; exit 1; }
  NGINX_RTMP_URL=rtmp://127.0.0.1:$NGINX_RTMP_PORT/live
}
