#!/usr/bin/env bash
# The server's memory (RSS) under a sustained write load, and the request rates the allocator's
# settings must not cost.
#   bench/memory.sh [build-dir] [minutes] [clients]
#   bench/memory.sh --rates <before-build-dir> [after-build-dir] [seconds] [pairs]
# The first form runs the real server (SQLite, log level info, the hub off) while `clients`
# (default 64: 4 processes of 16 threads, one request per connection) create, update, read,
# list and delete users, read the system log and log in, in 30-second load phases separated by
# 15-second pauses, for `minutes` (default 10).  Every answer is checked (status and content)
# and every failure counted; a run with failures is not a figure.  Prints the server's RSS and
# threads every 10 s, each phase's request rate, its peak RSS and the RSS left after its pause,
# then the verdict figures: the highest RSS, and how far the load phases' peaks over the last
# half of the run lie apart (flat: within 10 %).  Targets: at most 48 MB, flat.
# The second form runs the two binaries side by side and compares GET /health and
# GET /api/v1/users (bearer token) with wrk, one request per connection, in interleaved rounds
# (median round printed; target: the after binary loses at most 3 %).
set -euo pipefail

if [ "${1:-}" = "--rates" ]; then
  MODE=rates
  BEFORE_BUILD="${2:?usage: bench/memory.sh --rates <before-build-dir> [after-build-dir] [seconds] [pairs]}"
  set -- "${3:-$(cd "$(dirname "$0")/.." && pwd)/build}" "${4:-5}" 64 "${5:-9}"
else
  MODE=rss
  MINUTES="${2:-10}"
  CLIENTS="${3:-64}"
  set -- "${1:-}"
fi
. "$(dirname "$0")/wrk_common.sh"

need_packages curl
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null

# Starts SERVER on a fresh board in DIR with the first administrator (sysop / secret1); leaves
# its pid in OV_PID, its port in OV_PORT and the administrator's token in OV_TOKEN.
start_board() {  # dir
  OV_PORT="$(free_port)"
  write_ov_ini "$1" "$OV_PORT" "[websocket]
enabled=0"
  sed -i 's/^log_level=.*/log_level=info/' "$1/orvanta.ini"
  start_ov "$1" "$OV_PORT" /health
  OV_PID=${BENCH_PIDS[-1]}
  OV_TOKEN="$(setup_token "http://127.0.0.1:$OV_PORT/api/v1")"
}

if [ "$MODE" = rates ]; then
  need_packages wrk
  [ -x "$BEFORE_BUILD/orvantaserver" ] || { echo "no server binary in $BEFORE_BUILD" >&2; exit 1; }
  start_bench memory-rates
  AFTER_SERVER="$SERVER"
  SERVER="$BEFORE_BUILD/orvantaserver"
  start_board "$WORK/before"
  B_PORT=$OV_PORT B_TOKEN=$OV_TOKEN
  SERVER="$AFTER_SERVER"
  start_board "$WORK/after"
  A_PORT=$OV_PORT A_TOKEN=$OV_TOKEN
  for side in "$B_PORT $B_TOKEN" "$A_PORT $A_TOKEN"; do
    read -r port token <<<"$side"
    expect_body "http://127.0.0.1:$port/health" '"status" : "healthy"'
    expect_body "http://127.0.0.1:$port/api/v1/users" '"username" : "sysop"' -H "Authorization: Bearer $token"
  done
  run_health_before() { wrk_close "http://127.0.0.1:$B_PORT/health"; }
  run_health_after() { wrk_close "http://127.0.0.1:$A_PORT/health"; }
  run_users_before() { wrk_close "http://127.0.0.1:$B_PORT/api/v1/users" -H "Authorization: Bearer $B_TOKEN"; }
  run_users_after() { wrk_close "http://127.0.0.1:$A_PORT/api/v1/users" -H "Authorization: Bearer $A_TOKEN"; }
  echo "before: $BEFORE_BUILD/orvantaserver   after: $AFTER_SERVER"
  echo "wrk -t$THREADS -c$CONNS -d${SECS}s, Connection: close, $PAIRS rounds; load $(cut -d' ' -f1-3 /proc/loadavg)"
  interleave_pairs "GET /health (after)" run_health_after "GET /health (before)" run_health_before
  verdict "ratio >= 0.97"
  interleave_pairs "GET /api/v1/users (after)" run_users_after "GET /api/v1/users (before)" run_users_before
  verdict "ratio >= 0.97"
  for pid in "${BENCH_PIDS[@]}"; do
    printf "RSS after the rounds, pid %s: %s\n" "$pid" "$(awk '/VmRSS/ {print $2, $3}' "/proc/$pid/status")"
  done
  exit 0
fi

start_bench memory
start_board "$WORK"

# The load and the sampling, in python3 (standard library).
cat > "$WORK/load.py" <<'PY'
import http.client, json, multiprocessing as mp, sys, threading, time

PORT, PID, TOKEN = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
MINUTES, CLIENTS = float(sys.argv[4]), int(sys.argv[5])
LOAD_S, PAUSE_S, SAMPLE_S, PRINT_S, PROCS = 30, 15, 2, 10, 4
DURATION = MINUTES * 60

def schedule():
    """Load phases as (start, end) seconds from the start; every one is followed by a full pause."""
    phases, t = [], 0.0
    while t + LOAD_S + PAUSE_S <= DURATION:
        phases.append((t, t + LOAD_S))
        t += LOAD_S + PAUSE_S
    return phases

class Failure(Exception):
    pass

def call(method, path, token, body=None):
    """(status, decoded JSON or None) of one request on a connection of its own."""
    conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=60)
    try:
        headers = {"Authorization": "Bearer " + token} if token else {}
        data = None
        if body is not None:
            data = json.dumps(body).encode()
            headers["Content-Type"] = "application/json"
        conn.request(method, "/api/v1" + path, body=data, headers=headers)
        r = conn.getresponse()
        raw = r.read()
        try:
            return r.status, json.loads(raw) if raw else None
        except ValueError:
            return r.status, None
    finally:
        conn.close()

def expect(what, reply, want, check=lambda b: True):
    got, body = reply
    try:
        ok = got == want and check(body)
    except (KeyError, TypeError, IndexError):
        ok = False
    if not ok:
        raise Failure("%s answers %s: %.200s" % (what, got, json.dumps(body)))
    return body

def cycle(name, token):
    """One client's round of work; returns (requests made, the token to go on with)."""
    body = expect("POST /users", call("POST", "/users", token, {
        "username": name, "password": "pw-" + name, "email": name + "@example.org",
        "real_name": "Caller " + name}), 201, lambda b: isinstance(b["data"]["id"], int))
    uid = body["data"]["id"]
    expect("PUT /users/:id", call("PUT", "/users/%d" % uid, token, {
        "email": name + "@example.net", "location": "Room " + name, "security_level": 20}), 200)
    expect("GET /users/:id", call("GET", "/users/%d" % uid, token), 200,
           lambda b: b["data"]["username"] == name and b["data"]["email"] == name + "@example.net")
    expect("GET /users", call("GET", "/users?per_page=25", token), 200,
           lambda b: len(b["data"]["items"]) >= 1)
    expect("GET /logs", call("GET", "/logs?per_page=50", token), 200,
           lambda b: isinstance(b["data"]["items"], list) and len(b["data"]["items"]) >= 1)
    body = expect("POST /auth/login", call("POST", "/auth/login", None, {
        "username": "sysop", "password": "secret1"}), 200, lambda b: len(b["data"]["token"]) > 20)
    token = body["data"]["token"]
    expect("DELETE /users/:id", call("DELETE", "/users/%d" % uid, token), 200)
    return 7, token

def worker(proc, threads, t0, phases, out):
    counts = [0] * len(phases)   # requests per phase
    failures = {}                # what -> count
    examples = []
    lock = threading.Lock()
    def client(k):
        token, n = TOKEN, 0
        for i, (start, end) in enumerate(phases):
            wait = t0 + start - time.monotonic()
            if wait > 0:
                time.sleep(wait)     # the pause between phases is the load's own pacing
            while time.monotonic() < t0 + end:
                n += 1
                try:
                    done, token = cycle("m%d_%d_%d" % (proc, k, n), token)
                    with lock:
                        counts[i] += done
                except Exception as e:
                    what = str(e) if isinstance(e, Failure) else "%s: %s" % (type(e).__name__, e)
                    with lock:
                        key = what.split(" answers")[0] if isinstance(e, Failure) else type(e).__name__
                        failures[key] = failures.get(key, 0) + 1
                        if len(examples) < 3:
                            examples.append(what)
    ts = [threading.Thread(target=client, args=(k,)) for k in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    out.put((counts, failures, examples))

def rss_threads():
    """(RSS MB, its anonymous part MB, threads) of the server."""
    rss = anon = threads = 0
    with open("/proc/%d/status" % PID) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1]) / 1024.0
            elif line.startswith("RssAnon:"):
                anon = int(line.split()[1]) / 1024.0
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, anon, threads

def main():
    phases = schedule()
    if not phases:
        sys.exit("FAIL: %g minutes hold no load phase of %d s and its pause" % (MINUTES, LOAD_S))
    out = mp.Queue()
    t0 = time.monotonic() + 1.0
    per = [CLIENTS // PROCS + (1 if p < CLIENTS % PROCS else 0) for p in range(PROCS)]
    procs = [mp.Process(target=worker, args=(p, per[p], t0, phases, out)) for p in range(PROCS) if per[p]]
    for p in procs:
        p.start()
    samples = []   # (t, rss MB, threads)
    print("%7s %9s %10s %8s  %s" % ("t (s)", "RSS (MB)", "anon (MB)", "threads", "phase"))
    rss, anon, threads = rss_threads()
    print("%7s %9.1f %10.1f %8d  before the load" % ("", rss, anon, threads))
    next_print = 0.0
    while True:
        t = time.monotonic() - t0
        rss, anon, threads = rss_threads()
        if t >= 0:
            samples.append((t, rss, threads))
        phase = next((i for i, (s, e) in enumerate(phases) if s <= t < e), None)
        if t >= next_print:
            print("%7.0f %9.1f %10.1f %8d  %s" % (t, rss, anon, threads,
                                                 "load %d" % (phase + 1) if phase is not None else "pause"),
                  flush=True)
            next_print += PRINT_S
        if t >= DURATION:
            break
        time.sleep(max(0.0, min(SAMPLE_S, DURATION - t)))
    counts, failures, examples = [0] * len(phases), {}, []
    for _ in procs:
        c, f, ex = out.get()
        counts = [a + b for a, b in zip(counts, c)]
        for k, v in f.items():
            failures[k] = failures.get(k, 0) + v
        examples += ex
    for p in procs:
        p.join()

    print()
    print("%5s %11s %9s %16s %20s" % ("phase", "seconds", "req/s", "peak RSS (MB)", "after pause (MB)"))
    peaks = []
    for i, (s, e) in enumerate(phases):
        during = [r for t, r, _ in samples if s <= t < e + SAMPLE_S]
        pause_end = e + PAUSE_S
        after = [r for t, r, _ in samples if e <= t < pause_end]
        peaks.append((s, max(during)))
        print("%5d %5.0f-%-5.0f %9.0f %16.1f %20.1f" % (i + 1, s, e, counts[i] / LOAD_S, max(during),
                                                          after[-1] if after else float("nan")))
    late = [p for s, p in peaks if s >= DURATION / 2] or [peaks[-1][1]]
    spread = (max(late) / min(late) - 1) * 100
    top = max(r for _, r, _ in samples)
    print()
    print("requests: %d in %d load phases of %d s (%d clients)" % (sum(counts), len(phases), LOAD_S, CLIENTS))
    print("highest RSS %.1f MB (target <= 48); RSS at the end %.1f MB; threads at most %d"
          % (top, samples[-1][1], max(th for _, _, th in samples)))
    print("load-phase peaks over the last half: %.1f-%.1f MB, %.1f %% apart (target <= 10)"
          % (min(late), max(late), spread))
    half = [r for t, r, _ in samples if t >= DURATION / 2]
    print("every sample over the last half: %.1f-%.1f MB (the lows are pauses after a trim)" % (min(half), max(half)))
    if failures:
        print("FAILURES (the figures mean nothing): %d" % sum(failures.values()))
        for k, v in sorted(failures.items()):
            print("  %6d  %s" % (v, k))
        for ex in examples[:5]:
            print("  e.g. %s" % ex)
        sys.exit(1)
    print("result: %s" % ("meets target" if top <= 48 and spread <= 10 else "below target"))

main()
PY

echo "server: $SERVER (pid $OV_PID); $CLIENTS clients for $MINUTES min; load $(cut -d' ' -f1-3 /proc/loadavg)"
python3 "$WORK/load.py" "$OV_PORT" "$OV_PID" "$OV_TOKEN" "$MINUTES" "$CLIENTS"
