#!/usr/bin/env bash
# A plug-in's HTTP route against a REST route of the server itself, one request per connection.
#   bench/plugin_route.sh [build-dir] [seconds] [connections]
# Runs the real server with the C sample plug-in RouteC enabled and drives, with the same bearer
# token in the same run, GET /api/v1/plugins/RouteC/echo (authentication, the request object,
# the plug-in's handler behind its runtime guard) and GET /api/v1/admin/menu (authentication and
# the menu list).  Prints both rates, p99 latencies and the ratio.
set -euo pipefail
. "$(dirname "$0")/wrk_common.sh"
PLUGIN="$BUILD/test_plugins/route_c.so"

need_packages wrk
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null
[ -f "$PLUGIN" ] || cmake --build "$BUILD" --target tp_route_c >/dev/null

WORK="$(mktemp -d /tmp/ov-bench-route-XXXXXX)"
OV_PID=""
cleanup() {
  [ -n "$OV_PID" ] && kill "$OV_PID" 2>/dev/null && wait "$OV_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

PORT="$(free_port)"
mkdir -p "$WORK/web" "$WORK/plugins"
cp "$PLUGIN" "$WORK/plugins/route_c.so"
cat > "$WORK/orvanta.ini" <<EOF
[server]
port=$PORT
address=127.0.0.1
[database]
file=$WORK/orvanta.db
[logging]
log_file=$WORK/orvanta.log
log_level=warn
[paths]
web_root=$WORK/web
data_dir=$WORK
plugin_dir=$WORK/plugins
scripts_dir=$WORK/scripts
[security]
rate_limit_per_minute=100000000
max_connections_per_ip=100000
[plugins]
enabled=1
lua_enabled=0
[websocket]
enabled=0
EOF
"$SERVER" --run --config="$WORK/orvanta.ini" > "$WORK/ov.log" 2>&1 &
OV_PID=$!
for _ in $(seq 1 100); do
  curl -s -o /dev/null "http://127.0.0.1:$PORT/health" && break
  sleep 0.1
done

BASE="http://127.0.0.1:$PORT/api/v1"
TOKEN="$(curl -s -X POST -H 'Content-Type: application/json' -d '{"username":"sysop","password":"secret1"}' \
  "$BASE/setup" | python3 -c 'import json,sys; print(json.load(sys.stdin)["data"]["token"])')"
curl -s -o /dev/null -X POST -H "Authorization: Bearer $TOKEN" -H 'Content-Type: application/json' \
  -d '{"name":"RouteC"}' "$BASE/plugins/enable"
for url in "$BASE/plugins/RouteC/echo" "$BASE/admin/menu"; do
  code="$(curl -s -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $TOKEN" "$url")"
  [ "$code" = 200 ] || { echo "$url answers $code" >&2; exit 1; }
done

run() {
  wrk -t"$THREADS" -c"$CONNS" -d"${SECS}s" --latency -H "Connection: close" -H "Authorization: Bearer $TOKEN" "$1"
}

run "$BASE/plugins/RouteC/echo" >/dev/null 2>&1 || true   # warm-up
ROUTE_OUT="$(run "$BASE/plugins/RouteC/echo")"
MENU_OUT="$(run "$BASE/admin/menu")"

ROUTE_RPS="$(rps <<<"$ROUTE_OUT")"
MENU_RPS="$(rps <<<"$MENU_OUT")"
ROUTE_P99="$(p99_ms <<<"$ROUTE_OUT")"
MENU_P99="$(p99_ms <<<"$MENU_OUT")"
for out in "$ROUTE_OUT" "$MENU_OUT"; do
  err="$(awk '/Socket errors|Non-2xx/ {print}' <<<"$out")"
  [ -n "$err" ] && echo "errors: $err"
done

echo "wrk -t$THREADS -c$CONNS -d${SECS}s, Connection: close, same bearer token"
printf "plug-in route /plugins/RouteC/echo: %10.0f req/s   p99 %8.2f ms\n" "$ROUTE_RPS" "$ROUTE_P99"
printf "REST route /admin/menu:             %10.0f req/s   p99 %8.2f ms\n" "$MENU_RPS" "$MENU_P99"
python3 - "$ROUTE_RPS" "$MENU_RPS" <<'EOF'
import sys
route, menu = map(float, sys.argv[1:3])
ratio = route / menu if menu else 0.0
print("rate ratio: %.2f (target >= 0.80)" % ratio)
print("result: %s" % ("meets target" if ratio >= 0.8 else "below target"))
EOF
