#!/usr/bin/env bash
# Static-file throughput of the HTTP front end against nginx, one request per connection.
#   bench/http.sh [build-dir] [seconds] [connections]
# Serves the same file from both on loopback, runs wrk with "Connection: close" against each
# and prints requests per second, p99 latency and the ratios.
set -euo pipefail
. "$(dirname "$0")/wrk_common.sh"

need_packages wrk nginx
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null

WORK="$(mktemp -d /tmp/ov-bench-http-XXXXXX)"
OV_PID=""; NGINX_PID=""
cleanup() {
  [ -n "$OV_PID" ] && kill "$OV_PID" 2>/dev/null && wait "$OV_PID" 2>/dev/null || true
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/web" "$WORK/nginx"
head -c 4096 /dev/urandom | base64 -w 76 | head -c 4096 > "$WORK/web/app.js"

OV_PORT="$(free_port)"
NGINX_PORT="$(free_port)"

cat > "$WORK/nginx/nginx.conf" <<EOF
worker_processes auto;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  keepalive_timeout 0;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server {
    listen 127.0.0.1:$NGINX_PORT;
    root $WORK/web;
    location / { add_header Cache-Control "public, max-age=300"; }
  }
}
EOF

# The real server, security gate on (the limit set high enough not to refuse the load).
. "$ROOT/bench/ov_server.sh"
ov_bench_ini "$WORK" "$OV_PORT"
"$SERVER" --run --config="$WORK/ov/orvanta.ini" > "$WORK/ov.log" 2>&1 &
OV_PID=$!
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" > "$WORK/nginx/stdout.log" 2>&1 &
NGINX_PID=$!

wait_up() {
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$1/app.js" && return 0
    sleep 0.1
  done
  echo "server on port $1 did not start" >&2
  return 1
}
wait_up "$OV_PORT"
wait_up "$NGINX_PORT"

run() {
  wrk -t"$THREADS" -c"$CONNS" -d"${SECS}s" --latency -H "Connection: close" "http://127.0.0.1:$1/app.js"
}

run "$OV_PORT" >/dev/null 2>&1 || true   # warm-up
run "$NGINX_PORT" >/dev/null 2>&1 || true
OV_OUT="$(run "$OV_PORT")"
NGINX_OUT="$(run "$NGINX_PORT")"

OV_RPS="$(rps <<<"$OV_OUT")"
NGINX_RPS="$(rps <<<"$NGINX_OUT")"
OV_P99="$(p99_ms <<<"$OV_OUT")"
NGINX_P99="$(p99_ms <<<"$NGINX_OUT")"
OV_ERR="$(awk '/Socket errors|Non-2xx/ {print}' <<<"$OV_OUT")"

echo "wrk -t$THREADS -c$CONNS -d${SECS}s, Connection: close, 4 KiB static file"
printf "orvanta: %10.0f req/s   p99 %8.2f ms\n" "$OV_RPS" "$OV_P99"
printf "nginx:   %10.0f req/s   p99 %8.2f ms\n" "$NGINX_RPS" "$NGINX_P99"
[ -n "$OV_ERR" ] && echo "orvanta errors: $OV_ERR"
python3 - "$OV_RPS" "$NGINX_RPS" "$OV_P99" "$NGINX_P99" <<'EOF'
import sys
ov, ng, ovp, ngp = map(float, sys.argv[1:5])
rate = ov / ng if ng else 0.0
lat = ovp / ngp if ngp else 0.0
print("rate ratio: %.2f (target >= 0.60)   p99 ratio: %.2f (target < 2.00)" % (rate, lat))
print("result: %s" % ("meets target" if rate >= 0.6 and lat < 2.0 else "below target"))
EOF
