# Shared by the wrk benchmarks (sourced): arguments, wrk itself, free ports, the real server,
# wrk's figures and interleaved pairs.
#   bench/<name>.sh [build-dir] [seconds] [connections] [pairs]
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
SECS="${2:-3}"
CONNS="${3:-64}"
PAIRS="${4:-7}"
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

# Fails loudly unless URL answers 200 with a body that holds TEXT (extra curl arguments may
# follow), so that a benchmark never measures an error page or an empty answer.
expect_body() {  # url text [curl args...]
  local url=$1 text=$2 code
  shift 2
  code="$(curl -s -o "$WORK/body.check" -w '%{http_code}' "$@" "$url")"
  [ "$code" = 200 ] && grep -qF -- "$text" "$WORK/body.check" ||
    { echo "FAIL: $url answers $code without \"$text\": the figures would mean nothing" >&2; exit 1; }
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

# Runs the two sides in PAIRS short pairs, alternating which goes first, and prints each pair
# and the median pair.  A long run of one side and then the other would measure how the
# machine's load changed in between rather than the servers; the median pair is the figure.
# RUN_A and RUN_B are commands (shell functions) that print wrk's output.  Leaves the median
# rates, p99s and ratios in PAIR_A_RPS, PAIR_B_RPS, PAIR_A_P99, PAIR_B_P99, PAIR_RATIO (rate
# a/b) and PAIR_P99_RATIO (p99 a/b).
interleave_pairs() {  # label-a run-a label-b run-b
  local label_a=$1 run_a=$2 label_b=$3 run_b=$4 i out_a out_b rows=""
  "$run_a" >/dev/null 2>&1 || true   # warm-up
  "$run_b" >/dev/null 2>&1 || true
  for i in $(seq 1 "$PAIRS"); do
    if [ $((i % 2)) -eq 1 ]; then out_a="$("$run_a")"; out_b="$("$run_b")"
    else out_b="$("$run_b")"; out_a="$("$run_a")"; fi
    local err_a err_b
    err_a="$(wrk_errors <<<"$out_a")"
    err_b="$(wrk_errors <<<"$out_b")"
    [ -z "$err_a" ] || echo "  pair $i $label_a errors: $err_a"
    [ -z "$err_b" ] || echo "  pair $i $label_b errors: $err_b"
    rows="$rows$(rps <<<"$out_a") $(p99_ms <<<"$out_a") $(rps <<<"$out_b") $(p99_ms <<<"$out_b")"$'\n'
  done
  local summary
  summary="$(python3 - "$label_a" "$label_b" <<EOF2
import statistics, sys
a, b = sys.argv[1:3]
rows = [list(map(float, l.split())) for l in """$rows""".splitlines() if l.strip()]
for i, (ra, pa, rb, pb) in enumerate(rows, 1):
    print("  pair %d: %-30s %9.0f req/s p99 %7.2f ms | %-30s %9.0f req/s p99 %7.2f ms | ratio %.2f"
          % (i, a, ra, pa, b, rb, pb, ra / rb if rb else 0.0), file=sys.stderr)
ratios = sorted(r[0] / r[2] if r[2] else 0.0 for r in rows)
mid = sorted(range(len(rows)), key=lambda i: rows[i][0] / rows[i][2] if rows[i][2] else 0.0)[len(rows) // 2]
ra, pa, rb, pb = rows[mid]
print(ra, rb, pa, pb, ra / rb if rb else 0.0, pa / pb if pb else 0.0, ratios[0], ratios[-1])
EOF2
)"
  read -r PAIR_A_RPS PAIR_B_RPS PAIR_A_P99 PAIR_B_P99 PAIR_RATIO PAIR_P99_RATIO PAIR_MIN PAIR_MAX <<<"$summary"
  printf "median pair (of %d):\n" "$PAIRS"
  printf "  %-36s %10.0f req/s   p99 %8.2f ms\n" "$label_a" "$PAIR_A_RPS" "$PAIR_A_P99"
  printf "  %-36s %10.0f req/s   p99 %8.2f ms\n" "$label_b" "$PAIR_B_RPS" "$PAIR_B_P99"
  printf "  rate ratio %.2f (pairs %.2f-%.2f)   p99 ratio %.2f\n" "$PAIR_RATIO" "$PAIR_MIN" "$PAIR_MAX" "$PAIR_P99_RATIO"
}

# Prints "result: meets target" when the python condition COND over the names of
# interleave_pairs' results holds, else "result: below target".
verdict() {  # cond
  python3 - "$PAIR_RATIO" "$PAIR_P99_RATIO" "$1" <<'EOF2'
import sys
ratio, p99_ratio = map(float, sys.argv[1:3])
print("result: %s" % ("meets target" if eval(sys.argv[3]) else "below target"))
EOF2
}
