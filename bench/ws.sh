#!/usr/bin/env bash
# Broadcast fan-out: N connected web administrators, M events of SIZE bytes each, on this
# hub and on a minimal Node.js "ws" server doing the same; prints delivered messages per
# second, the p99 delivery latency of each, and the ratio.  Two runs: one burst of M events
# (throughput), then the same events paced at RATE per second (latency at a steady load).
#   N=200 M=2000 SIZE=64 RATE=1000 OV_BUILD_DIR=build bench/ws.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${OV_BUILD_DIR:-build}
N=${N:-200}
M=${M:-2000}
SIZE=${SIZE:-64}
RATE=${RATE:-1000}
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
cmake --build "$BUILD" --target bench_ws_hub bench_ws_load >/dev/null

tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_ready() {  # file
  for _ in $(seq 1 100); do grep -q ready "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "server did not start: $(cat "$1")" >&2
  return 1
}

echo "== installing the Node.js ws package into $tmp"
(cd "$tmp" && npm init -y >/dev/null 2>&1 && npm install --silent --no-audit --no-fund ws@8 >/dev/null 2>&1)

run() {  # label rate command...
  local label=$1 rate=$2
  shift 2
  local port
  port=$(free_port)
  "$@" "$port" >"$tmp/$label.out" 2>&1 &
  pids+=($!)
  wait_ready "$tmp/$label.out"
  local line
  line=$("$BUILD/bench_ws_load" "$port" "$N" "$M" "$SIZE" "$rate")
  kill "${pids[-1]}" 2>/dev/null || true
  echo "$label: $line" >&2
  echo "$line"
}

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }
report() {  # title hub-line node-line
  local hr nr hp np
  hr=$(field rate "$2"); nr=$(field rate "$3")
  hp=$(field p99_ms "$2"); np=$(field p99_ms "$3")
  echo "-- $1"
  printf '%-10s %14s %10s\n' server "msgs/s" "p99 ms"
  printf '%-10s %14s %10s\n' orvanta "$hr" "$hp"
  printf '%-10s %14s %10s\n' node-ws "$nr" "$np"
  python3 -c "print('throughput ratio (orvanta / node-ws): %.2f' % ($hr / $nr))"
}

echo "== N=$N administrators, M=$M events of $SIZE bytes"
hub=$(run orvanta 0 "$BUILD/bench_ws_hub")
node=$(NODE_PATH="$tmp/node_modules" run node 0 node bench/ws_node_server.js)
hub_p=$(run orvanta "$RATE" "$BUILD/bench_ws_hub")
node_p=$(NODE_PATH="$tmp/node_modules" run node "$RATE" node bench/ws_node_server.js)
report "burst: all $M events at once" "$hub" "$node"
report "paced: $RATE events per second" "$hub_p" "$node_p"
