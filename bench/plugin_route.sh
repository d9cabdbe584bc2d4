#!/usr/bin/env bash
# A plug-in's HTTP route against its anchor, a REST route of the server itself, one request per
# connection.
#   bench/plugin_route.sh [build-dir] [seconds] [connections] [pairs]
# Runs the real server with the C sample plug-in RouteC enabled and drives, with the same bearer
# token, in short interleaved pairs (median pair printed):
#   GET /api/v1/plugins/RouteC/echo (authentication, the request object, the plug-in's handler
#   behind its runtime guard) against the anchor
#   GET /api/v1/admin/menu (authentication and the server's own menu list, no database).
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
expect_body "$BASE/plugins/RouteC/echo" '"_auth_username" : "sysop"' -H "Authorization: Bearer $TOKEN"
expect_body "$BASE/admin/menu" '"success" : true' -H "Authorization: Bearer $TOKEN"

run_route() { wrk_close "$BASE/plugins/RouteC/echo" -H "Authorization: Bearer $TOKEN"; }
run_menu() { wrk_close "$BASE/admin/menu" -H "Authorization: Bearer $TOKEN"; }

echo "wrk -t$THREADS -c$CONNS -d${SECS}s, Connection: close, same bearer token; load $(cut -d' ' -f1-3 /proc/loadavg)"
interleave_pairs "plug-in route /plugins/RouteC/echo" run_route "anchor: REST route /admin/menu" run_menu
verdict "ratio >= 0.8"
