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

# Runs the commands given (shell functions that print wrk's output), each with its label, in
# PAIRS short rounds; within a round all of them run one after the other, in an order that
# rotates from round to round.  A long run of one side and then the other would measure how the
# machine's load changed in between rather than the servers: compare within rounds and take the
# median round.  Each round's figures go to $WORK/rounds.tsv (round, label, rate, p99).
interleave_rounds() {  # label run [label run ...]
  local labels=() runs=() i k n out err
  while [ $# -gt 1 ]; do labels+=("$1"); runs+=("$2"); shift 2; done
  n=${#runs[@]}
  : > "$WORK/rounds.tsv"
  for k in $(seq 0 $((n - 1))); do "${runs[$k]}" >/dev/null 2>&1 || true; done   # warm-up
  for i in $(seq 1 "$PAIRS"); do
    for j in $(seq 0 $((n - 1))); do
      k=$(( (i + j) % n ))
      out="$("${runs[$k]}")"
      err="$(wrk_errors <<<"$out")"
      [ -z "$err" ] || echo "  round $i ${labels[$k]} errors: $err"
      printf "%s\t%s\t%s\t%s\n" "$i" "${labels[$k]}" "$(rps <<<"$out")" "$(p99_ms <<<"$out")" >> "$WORK/rounds.tsv"
    done
  done
}

# Compares two labels of the last interleave_rounds round by round and prints each round and
# the median round.  Leaves the median round's rates, p99s and ratios in PAIR_A_RPS,
# PAIR_B_RPS, PAIR_A_P99, PAIR_B_P99, PAIR_RATIO (rate a/b) and PAIR_P99_RATIO (p99 a/b).
compare_rounds() {  # label-a label-b
  local summary
  summary="$(python3 - "$1" "$2" "$WORK/rounds.tsv" <<'EOF2'
import sys
a, b, path = sys.argv[1:4]
rows = {}
for line in open(path):
    rnd, label, rate, p99 = line.rstrip("\n").split("\t")
    rows.setdefault(int(rnd), {})[label] = (float(rate or 0), float(p99 or 0))
pairs = [(r, v[a], v[b]) for r, v in sorted(rows.items()) if a in v and b in v]
for r, (ra, pa), (rb, pb) in pairs:
    print("  round %d: %-30s %9.0f req/s p99 %7.2f ms | %-30s %9.0f req/s p99 %7.2f ms | ratio %.2f"
          % (r, a, ra, pa, b, rb, pb, ra / rb if rb else 0.0), file=sys.stderr)
ratio = lambda p: p[1][0] / p[2][0] if p[2][0] else 0.0
order = sorted(pairs, key=ratio)
_, (ra, pa), (rb, pb) = order[len(order) // 2]
print(ra, rb, pa, pb, ra / rb if rb else 0.0, pa / pb if pb else 0.0, ratio(order[0]), ratio(order[-1]), len(pairs))
EOF2
)"
  read -r PAIR_A_RPS PAIR_B_RPS PAIR_A_P99 PAIR_B_P99 PAIR_RATIO PAIR_P99_RATIO PAIR_MIN PAIR_MAX PAIR_N <<<"$summary"
  printf "median round (of %d):\n" "$PAIR_N"
  printf "  %-36s %10.0f req/s   p99 %8.2f ms\n" "$1" "$PAIR_A_RPS" "$PAIR_A_P99"
  printf "  %-36s %10.0f req/s   p99 %8.2f ms\n" "$2" "$PAIR_B_RPS" "$PAIR_B_P99"
  printf "  rate ratio %.2f (rounds %.2f-%.2f)   p99 ratio %.2f\n" "$PAIR_RATIO" "$PAIR_MIN" "$PAIR_MAX" "$PAIR_P99_RATIO"
}

# Two sides in interleaved rounds, compared (see interleave_rounds and compare_rounds).
interleave_pairs() {  # label-a run-a label-b run-b
  interleave_rounds "$1" "$2" "$3" "$4"
  compare_rounds "$1" "$3"
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
