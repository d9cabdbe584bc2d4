#!/usr/bin/env bash
# Do short reads wait behind long ones?  The server's read pool has 8 connections and a log
# search holds one for a whole scan of system_logs; this measures what N clients looping such
# searches cost the short reads beside them.
#   bench/contention.sh <build-dir> sqlite|postgresql|mariadb [seconds-per-step] [steps]
# The build directory holds the orvantaserver to measure, any branch's; the database servers and
# the board come from this checkout.
#
# Builds the large board of bench/growth.sh (1 M system_logs lines over 60 days, 100 k users)
# with the same statements (bench/board_common.sh): on PostgreSQL and MariaDB in throw-away
# servers from scripts/test-db-servers with the tests' own small caches (PostgreSQL's 32 MB of
# shared_buffers, MariaDB's 64 MB buffer pool), so that a scan reads through the cache as on a
# modest machine.  Then runs the server on it with the hub on, and bench/contention_load.py:
#   - one web administrator on /ws, subscribed to server_status for the whole run (every login
#     makes the server build the status again and push it), reading every frame as it comes;
#   - for N = 0, 8, 16, 32 and 64 (or the comma-separated steps given): N clients loop GET
#     /api/v1/logs?search=<a term no line holds>&per_page=100 as the administrator; after 5 s of
#     that, for seconds-per-step (default 20), three probes each loop on a client of their own,
#     30 ms between an answer and the next request: GET /health, GET /api/v1/users/<id> (a user
#     from the middle of the board) and POST /api/v1/auth/login (an account of their own, the
#     right password); and a monitor polls GET /api/v1/status about ten times a second (100 ms
#     between an answer and the next request), its latency printed beside the others'.
# Prints per step and probe the count, p50 / p99 / max latency and the status counts (and the
# /health answers saying "degraded"), the searches' rate within the probes' time with their
# status counts and p50 / max latency, and a table at the end.  Every answer is checked: a
# search must answer 200 with an empty list, or 503 with Retry-After; anything else is printed
# as an error.  Before the first step every route must answer correctly once, else the run ends.
# Requests time out on the client after 90 s ("timeout").
#
# How long a run takes with the default 20 s a step, measured on an 8-core machine: SQLite
# about 2.5 minutes (the board 10 s), PostgreSQL about 3 (the board 30 s), MariaDB about 3 (the
# board 40 s).  Each step takes its 25 s plus the end of the searches under way then (up to 6 s
# with 64 searchers on MariaDB, where one search alone takes about 1.7 s; at most the 90 s
# time-out).
set -euo pipefail
USAGE="usage: $0 <build-dir> sqlite|postgresql|mariadb [seconds-per-step] [steps, e.g. 0,32]"
[ $# -ge 2 ] && [ $# -le 4 ] || { echo "$USAGE" >&2; exit 2; }
STEP_SECONDS="${3:-20}"
STEPS="${4:-0,8,16,32,64}"
. "$(dirname "$0")/wrk_common.sh"
. "$(dirname "$0")/board_common.sh"

BACKEND="$(board_backend "$2")" || { echo "$USAGE" >&2; exit 2; }
if ! [[ "$STEP_SECONDS" =~ ^[0-9]+$ ]] || [ "$STEP_SECONDS" -lt 5 ]; then
  echo "contention.sh: seconds-per-step must be a whole number, at least 5" >&2
  exit 2
fi
if ! [[ "$STEPS" =~ ^[0-9]+(,[0-9]+)*$ ]]; then
  echo "contention.sh: steps must be comma-separated numbers of searchers" >&2
  exit 2
fi
[ -d "$BUILD" ] || { echo "contention.sh: no build directory $BUILD" >&2; exit 2; }

need_packages sqlite3 curl
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null

start_board_bench contention
if [ "$BACKEND" != sqlite ]; then
  echo "starting the PostgreSQL and MariaDB servers (the tests' own small caches)..."
  start_board_db
fi

echo "building the board on $BACKEND..."
make_board "$WORK/large" 1000000 99999
# The board was built without the hub; this run needs it, on a port of its own besides /ws.
sed -i "/^\[websocket\]/,/^\[/ s/^enabled=0\$/enabled=1\naddress=127.0.0.1\nport=$(free_port)/" "$WORK/large/orvanta.ini"
run_board "$WORK/large"

echo "server: $SERVER on $BACKEND; $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"
python3 "$ROOT/bench/contention_load.py" "$PORT" --seconds "$STEP_SECONDS" --steps "$STEPS" ||
  { echo "the server's console:" >&2; tail -20 "$WORK/large/ov.log" >&2; exit 1; }
stop_ov
