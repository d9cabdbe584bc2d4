#!/usr/bin/env bash
# Static-file throughput of the HTTP front end against nginx, one request per connection.
#   bench/http.sh [build-dir] [seconds] [connections]
# Serves the same file from both on loopback, checks that both answer it with 200 and the same
# bytes, runs wrk with "Connection: close" against each and prints requests per second, p99
# latency and the ratios.
set -euo pipefail
. "$(dirname "$0")/wrk_common.sh"

need_packages wrk nginx
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null

start_bench http

OV_PORT="$(free_port)"
NGINX_PORT="$(free_port)"
write_ov_ini "$WORK/ov" "$OV_PORT" "[websocket]
enabled=0"
WEB="$WORK/ov/web"
head -c 4096 /dev/urandom | base64 -w 76 | head -c 4096 > "$WEB/app.js"
chmod -R a+rX "$WORK"

mkdir -p "$WORK/nginx"
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
    root $WEB;
    location / { add_header Cache-Control "public, max-age=300"; }
  }
}
EOF

start_ov "$WORK/ov" "$OV_PORT" /app.js
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" > "$WORK/nginx/stdout.log" 2>&1 &
BENCH_PIDS+=($!)
wait_http "http://127.0.0.1:$NGINX_PORT/app.js"

# Both must serve the file itself: an error page would make the ratio meaningless.
for port in "$OV_PORT" "$NGINX_PORT"; do
  expect_200 "http://127.0.0.1:$port/app.js"
  curl -s -o "$WORK/got.$port" "http://127.0.0.1:$port/app.js"
  cmp -s "$WEB/app.js" "$WORK/got.$port" || { echo "FAIL: port $port does not answer the file's bytes" >&2; exit 1; }
done

run() { wrk_close "http://127.0.0.1:$1/app.js"; }

run "$OV_PORT" >/dev/null 2>&1 || true   # warm-up
run "$NGINX_PORT" >/dev/null 2>&1 || true
OV_OUT="$(run "$OV_PORT")"
NGINX_OUT="$(run "$NGINX_PORT")"

echo "wrk -t$THREADS -c$CONNS -d${SECS}s, Connection: close, 4 KiB static file"
figures "orvanta:" "$OV_OUT"
OV_RPS=$FIG_RPS
OV_P99=$FIG_P99
figures "nginx:" "$NGINX_OUT"
NGINX_RPS=$FIG_RPS
NGINX_P99=$FIG_P99
python3 - "$OV_RPS" "$NGINX_RPS" "$OV_P99" "$NGINX_P99" <<'EOF'
import sys
ov, ng, ovp, ngp = map(float, sys.argv[1:5])
rate = ov / ng if ng else 0.0
lat = ovp / ngp if ngp else 0.0
print("rate ratio: %.2f (target >= 0.90)   p99 ratio: %.2f (target < 2.00)" % (rate, lat))
print("result: %s" % ("meets target" if rate >= 0.9 and lat < 2.0 else "below target"))
EOF
