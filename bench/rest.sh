#!/usr/bin/env bash
# REST reads against their anchors, one request per connection.
#   bench/rest.sh [build-dir] [seconds] [connections] [pairs]
# Runs the real server (SQLite) and drives, in short interleaved pairs (median pair printed):
#   GET /health (a read through the connection pool, no authentication) against
#   GET /api/v1/admin/menu with a bearer token (authentication and the menu list, no database);
#   GET /api/v1/users with a bearer token (authentication, a pool read, the JSON answer)
#   against GET /health.
set -euo pipefail
. "$(dirname "$0")/wrk_common.sh"

need_packages wrk
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null

start_bench rest

PORT="$(free_port)"
write_ov_ini "$WORK" "$PORT" "[websocket]
enabled=0"
start_ov "$WORK" "$PORT" /health
BASE="http://127.0.0.1:$PORT/api/v1"
TOKEN="$(setup_token "$BASE")"
expect_body "$BASE/users" '"username" : "sysop"' -H "Authorization: Bearer $TOKEN"
expect_body "$BASE/admin/menu" '"success" : true' -H "Authorization: Bearer $TOKEN"
expect_body "http://127.0.0.1:$PORT/health" '"status" : "healthy"'

run_health() { wrk_close "http://127.0.0.1:$PORT/health"; }
run_menu() { wrk_close "$BASE/admin/menu" -H "Authorization: Bearer $TOKEN"; }
run_users() { wrk_close "$BASE/users" -H "Authorization: Bearer $TOKEN"; }

echo "wrk -t$THREADS -c$CONNS -d${SECS}s, Connection: close; load $(cut -d' ' -f1-3 /proc/loadavg)"
interleave_pairs "GET /health" run_health "GET /api/v1/admin/menu (anchor)" run_menu
verdict "ratio >= 0.9"
interleave_pairs "GET /api/v1/users (bearer)" run_users "GET /health" run_health
echo "users p99: $PAIR_A_P99 ms (target < 15)"
verdict "ratio >= 0.4 and $PAIR_A_P99 < 15"
