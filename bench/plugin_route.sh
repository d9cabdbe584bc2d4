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

start_bench route

PORT="$(free_port)"
write_ov_ini "$WORK" "$PORT" "[plugins]
enabled=1
lua_enabled=0
[websocket]
enabled=0"
cp "$PLUGIN" "$WORK/plugins/route_c.so"
start_ov "$WORK" "$PORT" /health

BASE="http://127.0.0.1:$PORT/api/v1"
TOKEN="$(setup_token "$BASE")"
curl -s -o /dev/null -X POST -H "Authorization: Bearer $TOKEN" -H 'Content-Type: application/json' \
  -d '{"name":"RouteC"}' "$BASE/plugins/enable"
for url in "$BASE/plugins/RouteC/echo" "$BASE/admin/menu"; do
  expect_200 "$url" -H "Authorization: Bearer $TOKEN"
done

run() { wrk_close "$1" -H "Authorization: Bearer $TOKEN"; }

run "$BASE/plugins/RouteC/echo" >/dev/null 2>&1 || true   # warm-up
ROUTE_OUT="$(run "$BASE/plugins/RouteC/echo")"
MENU_OUT="$(run "$BASE/admin/menu")"

echo "wrk -t$THREADS -c$CONNS -d${SECS}s, Connection: close, same bearer token"
figures "plug-in route /plugins/RouteC/echo:" "$ROUTE_OUT"
ROUTE_RPS=$FIG_RPS
figures "REST route /admin/menu:" "$MENU_OUT"
MENU_RPS=$FIG_RPS
python3 - "$ROUTE_RPS" "$MENU_RPS" <<'EOF'
import sys
route, menu = map(float, sys.argv[1:3])
ratio = route / menu if menu else 0.0
print("rate ratio: %.2f (target >= 0.80)" % ratio)
print("result: %s" % ("meets target" if ratio >= 0.8 else "below target"))
EOF
