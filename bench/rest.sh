#!/usr/bin/env bash
# An authenticated REST read against /health, one request per connection.
#   bench/rest.sh [build-dir] [seconds] [connections]
# Runs the real server (SQLite) and drives, in the same run, GET /api/v1/users with a bearer
# token (authentication, a read from the connection pool, the JSON answer) and GET /health.
# Prints both rates, p99 latencies and the ratio.
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
expect_200 "$BASE/users" -H "Authorization: Bearer $TOKEN"
expect_200 "http://127.0.0.1:$PORT/health"

wrk_close "$BASE/users" -H "Authorization: Bearer $TOKEN" >/dev/null 2>&1 || true   # warm-up
USERS_OUT="$(wrk_close "$BASE/users" -H "Authorization: Bearer $TOKEN")"
HEALTH_OUT="$(wrk_close "http://127.0.0.1:$PORT/health")"

echo "wrk -t$THREADS -c$CONNS -d${SECS}s, Connection: close"
figures "GET /api/v1/users (bearer):" "$USERS_OUT"
USERS_RPS=$FIG_RPS
USERS_P99=$FIG_P99
figures "GET /health:" "$HEALTH_OUT"
HEALTH_RPS=$FIG_RPS
python3 - "$USERS_RPS" "$HEALTH_RPS" "$USERS_P99" <<'EOF'
import sys
users, health, p99 = map(float, sys.argv[1:4])
ratio = users / health if health else 0.0
print("rate ratio: %.2f (target >= 0.40)   users p99: %.2f ms (target < 15)" % (ratio, p99))
print("result: %s" % ("meets target" if ratio >= 0.4 and p99 < 15 else "below target"))
EOF
