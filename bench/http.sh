#!/usr/bin/env bash
# Static-file throughput of the HTTP front end against nginx, one request per connection.
#   bench/http.sh [build-dir] [seconds] ["connection counts"] [pairs]
# Serves the same 4 KiB file from both on loopback and checks that both answer it with 200 and
# the same bytes.  Then, for each connection count (default "64 256"), runs wrk with
# "Connection: close" against the two in short interleaved pairs and prints the median pair:
# rates, p99 latencies and their ratios.  Targets: our rate at least nginx's with a p99 no
# worse, and our rate at the highest count at least our rate at the lowest.  Last, IDLE (default
# 10000, 0: skip) connections that send nothing or half a head are held open on the server while
# an ordinary client is served; prints the server's memory (RSS) and threads before and after.
set -euo pipefail
. "$(dirname "$0")/wrk_common.sh"
COUNTS="${3:-64 256}"
IDLE="${IDLE:-10000}"
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true   # the server inherits it: IDLE descriptors

need_packages wrk nginx
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null

start_bench http

OV_PORT="$(free_port)"
NGINX_PORT="$(free_port)"
write_ov_ini "$WORK/ov" "$OV_PORT" "[websocket]
enabled=0"
WEB="$WORK/ov/web"
# 4096 bytes of text.  (Not a pipe into head: under pipefail the writer's SIGPIPE when head has
# enough would end the script at random.)
python3 -c 'import base64, os, sys; sys.stdout.write(base64.encodebytes(os.urandom(3100)).decode()[:4096])' > "$WEB/app.js"
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

# One wrk run per side and connection count: run_ov_64, run_nginx_256, ...
RUNS=()
for CONNS in $COUNTS; do
  eval "run_ov_$CONNS() { CONNS=$CONNS wrk_close \"http://127.0.0.1:\$OV_PORT/app.js\"; }"
  eval "run_nginx_$CONNS() { CONNS=$CONNS wrk_close \"http://127.0.0.1:\$NGINX_PORT/app.js\"; }"
  RUNS+=("orvanta @$CONNS" "run_ov_$CONNS" "nginx @$CONNS" "run_nginx_$CONNS")
done

echo "wrk -t$THREADS -d${SECS}s, Connection: close, 4 KiB static file, connections $COUNTS in the same rounds;" \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
interleave_rounds "${RUNS[@]}"
for CONNS in $COUNTS; do
  compare_rounds "orvanta @$CONNS" "nginx @$CONNS"
  verdict "ratio >= 1.0 and p99_ratio <= 1.0"
done
FIRST="${COUNTS%% *}"
LAST="${COUNTS##* }"
if [ "$FIRST" != "$LAST" ]; then
  compare_rounds "orvanta @$LAST" "orvanta @$FIRST"
  verdict "ratio >= 1.0"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

[ "$IDLE" -gt 0 ] || exit 0
OV_PID="$(pgrep -f -- "--config=$WORK/ov/orvanta.ini" | head -1)"
python3 - "$OV_PORT" "$IDLE" "$OV_PID" <<'EOF'
import resource, socket, sys, time, urllib.request
port, count, pid = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
def status(field):
    with open("/proc/%d/status" % pid) as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))
def fetch():
    t = time.time()
    body = urllib.request.urlopen("http://127.0.0.1:%d/app.js" % port, timeout=10).read()
    return len(body), (time.time() - t) * 1000
fetch()
rss0, threads0 = status("VmRSS"), status("Threads")
idle = []
for i in range(count):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    if i % 2:
        s.sendall(b"GET /app.js HTTP/1.1\r\nHost: x\r\n")
    idle.append(s)
time.sleep(1)
size, ms = fetch()
rss1, threads1 = status("VmRSS"), status("Threads")
print("%d idle connections (half with half a head): server RSS %.1f MB -> %.1f MB, threads %d -> %d; "
      "a request meanwhile: %d bytes in %.1f ms" % (count, rss0 / 1024, rss1 / 1024, threads0, threads1, size, ms))
print("result: %s" % ("meets target" if rss1 < 100 * 1024 and size == 4096 else "below target"))
for s in idle:
    s.close()
EOF
