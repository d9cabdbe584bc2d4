# Shared by the wrk benchmarks (sourced): arguments, wrk itself, free ports, the real server
# and wrk's figures.
#   bench/<name>.sh [build-dir] [seconds] [connections]
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
SECS="${2:-10}"
CONNS="${3:-64}"
THREADS="${WRK_THREADS:-4}"
SERVER="$BUILD/orvantaserver"
. "$ROOT/bench/ov_server.sh"

# Installs the Debian packages named when a command of theirs is missing.
need_packages() {
  local missing=""
  for p in "$@"; do command -v "$p" >/dev/null || missing="$missing $p"; done
  [ -z "$missing" ] && return 0
  local SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
}

# Makes the work directory WORK and ends the processes in BENCH_PIDS and removes WORK on exit.
# As root, mktemp -d makes the directory 0700: servers that drop privileges (nginx's workers)
# could not read what is served from it, so it is opened to every reader.
start_bench() {  # name
  WORK="$(mktemp -d "/tmp/ov-bench-$1-XXXXXX")"
  chmod 0755 "$WORK"
  BENCH_PIDS=()
  trap bench_cleanup EXIT
}
bench_cleanup() {
  local p
  for p in "${BENCH_PIDS[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}

# Starts the server on DIR/orvanta.ini in the background and waits until PATH answers on PORT.
start_ov() {  # dir port path
  "$SERVER" --run --config="$1/orvanta.ini" > "$1/ov.log" 2>&1 &
  BENCH_PIDS+=($!)
  wait_http "http://127.0.0.1:$2$3" || { cat "$1/ov.log" >&2; return 1; }
}

# Waits (about 10 s) until URL answers at all.
wait_http() {  # url
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "$1" && return 0
    sleep 0.1
  done
  echo "$1 did not answer" >&2
  return 1
}

# Fails loudly unless URL answers 200 (extra curl arguments may follow).
expect_200() {  # url [curl args...]
  local url=$1 code
  shift
  code="$(curl -s -o /dev/null -w '%{http_code}' "$@" "$url")"
  [ "$code" = 200 ] || { echo "FAIL: $url answers $code, not 200: the figures would mean nothing" >&2; exit 1; }
}

# The first administrator's bearer token on the server at BASE (.../api/v1), made by setup.
setup_token() {  # base
  curl -s -X POST -H 'Content-Type: application/json' -d '{"username":"sysop","password":"secret1"}' \
    "$1/setup" | python3 -c 'import json,sys; print(json.load(sys.stdin)["data"]["token"])'
}

# wrk, one request per connection, with any extra wrk arguments before the URL.
wrk_close() {  # url [wrk args...]
  local url=$1
  shift
  wrk -t"$THREADS" -c"$CONNS" -d"${SECS}s" --latency -H "Connection: close" "$@" "$url"
}

# wrk's p99 line ("99%  1.23ms") in milliseconds.
p99_ms() {
  awk '$1=="99%" {v=$2; u=v; gsub(/[0-9.]/,"",u); gsub(/[a-z]/,"",v);
       if (u=="us") v/=1000; else if (u=="s") v*=1000; else if (u=="m") v*=60000; print v}'
}

# wrk's requests per second.
rps() { awk '/Requests\/sec/ {print $2}'; }

# wrk's error lines (socket errors, non-2xx answers), empty when there were none.
wrk_errors() { awk '/Socket errors|Non-2xx/ {print}'; }

# Prints one measured line from wrk's output OUT (rate, p99 and any errors) and leaves the rate
# and p99 in FIG_RPS and FIG_P99.
figures() {  # label out
  FIG_RPS="$(rps <<<"$2")"
  FIG_P99="$(p99_ms <<<"$2")"
  printf "%-36s %10.0f req/s   p99 %8.2f ms\n" "$1" "$FIG_RPS" "$FIG_P99"
  local err
  err="$(wrk_errors <<<"$2")"
  if [ -n "$err" ]; then echo "  errors: $err"; fi
}
