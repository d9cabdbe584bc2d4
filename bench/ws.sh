#!/usr/bin/env bash
# The WebSocket hub's benchmarks.  The build directory is used as it is, never rebuilt.
#
# Fan-out: N connected web administrators, M events of SIZE bytes each, on this hub, on a
# minimal Node.js "ws" server and on a single-threaded libwebsockets server doing the same (one
# write per writable callback, as libwebsockets recommends, and batched: as many writes as the
# socket takes); prints delivered messages per second, the latencies and the ratios.  For
# each N: one burst of M events (throughput), then the same events paced at RATE per second
# (latency at a steady load).  Before measuring, each server must deliver a short run correctly
# (every event, in order, with its pad).
#
# Idle clients: IDLE clients connected to the hub's own port under an open-file limit of
# IDLE_NOFILE and pinged every two seconds for two cycles; prints the hub's descriptors, threads,
# memory and the CPU time of each ping cycle.
#   NS="200 1000" M=2000 SIZE=64 RATE=1000 IDLE="1000 10000" OV_BUILD_DIR=build bench/ws.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${OV_BUILD_DIR:-build}
NS=${NS-200 1000}
M=${M:-2000}
SIZE=${SIZE:-64}
RATE=${RATE:-1000}
IDLE=${IDLE-1000 10000}
IDLE_NOFILE=${IDLE_NOFILE:-20000}
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
for b in bench_ws_hub bench_ws_load bench_ws_idle; do
  [ -x "$BUILD/$b" ] || { echo "missing $BUILD/$b: build the benchmarks first (OV_BUILD_BENCH=ON)" >&2; exit 1; }
done

tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

. bench/ov_server.sh
wait_ready() {  # file
  for _ in $(seq 1 100); do grep -q ready "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "server did not start: $(cat "$1")" >&2
  return 1
}

echo "== installing the Node.js ws package into $tmp"
(cd "$tmp" && npm init -y >/dev/null 2>&1 && npm install --silent --no-audit --no-fund ws@8 >/dev/null 2>&1)
echo "== compiling the libwebsockets server into $tmp"
# shellcheck disable=SC2046
cc -O2 -o "$tmp/ws_lws_server" bench/ws_lws_server.c $(pkg-config --cflags --libs libwebsockets)

HUB=("$BUILD/bench_ws_hub")
NODE=(env NODE_PATH="$tmp/node_modules" node bench/ws_node_server.js)
LWS=("$tmp/ws_lws_server")
LWS_BATCH=("$tmp/ws_lws_server" batch)

start() {  # label command... ; sets port and the server's pid
  local label=$1
  shift
  port=$(free_port)
  "$@" "$port" >"$tmp/$label.out" 2>&1 &
  pids+=($!)
  wait_ready "$tmp/$label.out"
}

run() {  # label n m rate command...
  local label=$1 n=$2 m=$3 rate=$4 line
  shift 4
  start "$label" "$@"
  if ! line=$("$BUILD/bench_ws_load" "$port" "$n" "$m" "$SIZE" "$rate"); then
    echo "$label: the load client failed (N=$n M=$m)" >&2
    exit 1
  fi
  kill "${pids[-1]}" 2>/dev/null || true
  echo "$label: $line" >&2
  echo "$line"
}

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }
report() {  # title hub-line node-line lws-line lws-batch-line
  local hr
  hr=$(field rate "$2")
  echo "-- $1"
  printf '%-16s %12s %10s %10s %8s\n' server "msgs/s" "p50 ms" "p99 ms" "ratio"
  local label line
  for pair in "orvanta|$2" "node-ws|$3" "libwebsockets|$4" "lws-batched|$5"; do
    label=${pair%%|*}
    line=${pair#*|}
    printf '%-16s %12s %10s %10s %8s\n' "$label" "$(field rate "$line")" "$(field p50_ms "$line")" \
      "$(field p99_ms "$line")" "$(python3 -c "print('%.2f' % ($hr / $(field rate "$line")))")"
  done
  echo "(ratio: orvanta's msgs/s over the server's)"
}

echo "== checking that every server delivers a short run correctly"
run orvanta 3 50 0 "${HUB[@]}" >/dev/null
run node-ws 3 50 0 "${NODE[@]}" >/dev/null
run libwebsockets 3 50 0 "${LWS[@]}" >/dev/null
run lws-batched 3 50 0 "${LWS_BATCH[@]}" >/dev/null

for n in $NS; do
  echo "== N=$n administrators, M=$M events of $SIZE bytes"
  hub=$(run orvanta "$n" "$M" 0 "${HUB[@]}")
  node=$(run node-ws "$n" "$M" 0 "${NODE[@]}")
  lws=$(run libwebsockets "$n" "$M" 0 "${LWS[@]}")
  lwsb=$(run lws-batched "$n" "$M" 0 "${LWS_BATCH[@]}")
  hub_p=$(run orvanta "$n" "$M" "$RATE" "${HUB[@]}")
  node_p=$(run node-ws "$n" "$M" "$RATE" "${NODE[@]}")
  lws_p=$(run libwebsockets "$n" "$M" "$RATE" "${LWS[@]}")
  lwsb_p=$(run lws-batched "$n" "$M" "$RATE" "${LWS_BATCH[@]}")
  report "N=$n burst: all $M events at once" "$hub" "$node" "$lws" "$lwsb"
  report "N=$n paced: $RATE events per second" "$hub_p" "$node_p" "$lws_p" "$lwsb_p"
done

echo "== idle clients on the hub port (open-file limit $IDLE_NOFILE, ping every two seconds)"
cpus=()
for n in $IDLE; do
  start hub-idle bash -c "ulimit -n $IDLE_NOFILE && exec $BUILD/bench_ws_hub \"\$0\" 2"
  if ! line=$("$BUILD/bench_ws_idle" "$port" "${pids[-1]}" "$n" 2); then
    echo "hub with $n idle clients: $line" >&2
    exit 1
  fi
  kill "${pids[-1]}" 2>/dev/null || true
  echo "$line"
  cpus+=("$n:$(field cycle1_cpu_ms "$line"):$(field cycle2_cpu_ms "$line")")
done
if [ ${#cpus[@]} -ge 2 ]; then
  python3 - "${cpus[@]}" <<'EOF'
import sys
pts = []
for a in sys.argv[1:]:
    n, c1, c2 = (float(x) for x in a.split(":"))
    pts.append((n, (c1 + c2) / 2))
    print("ping cycle with %d clients: %.0f ms CPU, %.1f us per client" % (n, pts[-1][1], 1000 * pts[-1][1] / n))
(n0, c0), (n1, c1) = pts[0], pts[-1]
print("ping-cycle CPU grows %.1fx for %.0fx the clients" % (c1 / c0 if c0 else float("nan"), n1 / n0))
EOF
fi
