#!/usr/bin/env bash
# How the server copes with a board that has grown: paged lists, the log search, the maintenance
# tasks and the SQL library's inserts, on a small and a large board.
#   bench/growth.sh [build-dir] [rounds]
# Builds two boards straight into SQLite while the server is stopped (small: 10 k log lines and
# 1 k users; large: 1 M log lines over 60 days and 100 k users), then runs the real server on
# each and times, median of `rounds` (default 15) requests after one warm-up:
#   - the first and the last page of GET /api/v1/logs (per_page 100) and of GET /api/v1/users;
#   - a log search over the large board, against the same LIKE as one scan of the sqlite3 shell;
#   - GET /health (its probe goes through the read pool) while 16 clients search the large board
#     without a pause, against /health on the idle server: median and 99th percentile;
#   - logins (writers) while log_cleanup deletes half of the large board, against logins on the
#     idle server, the rows it deleted and the size of the -wal file once it is done;
#   - db_vacuum: how long its VACUUM keeps writers waiting, per 100 MB of database;
#   - bench_sql_insert (the SQL library's inserts against raw sqlite3): a JSON array built for
#     every row, one array reused (the library's own cost) and values set by name (the server's
#     own writers).
# Every figure is checked before it is timed (status 200, the right rows and totals).  Prints
# the ratios first, then the absolute figures.
set -euo pipefail
. "$(dirname "$0")/wrk_common.sh"
ROUNDS="${2:-15}"

need_packages sqlite3 curl
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null
[ -x "$BUILD/bench_sql_insert" ] || cmake --build "$BUILD" --target bench_sql_insert >/dev/null

start_bench growth

# Fills DIR's stopped board: LOGS system_logs rows, their times spread evenly over the last 60
# days, and USERS more users.
fill_board() {  # dir logs users
  sqlite3 "$1/orvanta.db" <<SQL
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $2)
INSERT INTO system_logs (timestamp, level, source, category, message, details)
SELECT datetime('now', '-' || ((($2 - i) * 5184000) / $2) || ' seconds'),
       CASE WHEN i % 20 = 0 THEN 'error' WHEN i % 20 = 1 THEN 'debug' WHEN i % 10 = 2 THEN 'warning' ELSE 'info' END,
       CASE i % 5 WHEN 0 THEN 'http' WHEN 1 THEN 'ws' WHEN 2 THEN 'scheduler' WHEN 3 THEN 'plugin' ELSE 'system' END,
       CASE i % 4 WHEN 0 THEN 'request' WHEN 1 THEN 'auth' WHEN 2 THEN 'task' ELSE 'general' END,
       '[http] GET /api/v1/users/' || (i % 1000) || ' answered 200 for node' || (i % 97) || ' from 10.0.' ||
         (i % 250) || '.' || (i % 7) || ' in ' || (i % 300) || ' ms',
       ''
FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $3)
INSERT INTO users (guid, username, password_hash, password_salt, email, real_name, location, security_level)
SELECT printf('%08x-0000-4000-8000-%012x', i, i), printf('caller%06d', i), 'x', 'x',
       printf('caller%06d@example.org', i), printf('Caller %d', i), 'Somewhere', 20
FROM n;
COMMIT;
SQL
}

# Makes a board in DIR with the first administrator (sysop / secret1) and fills it; the server
# is stopped again afterwards.
make_board() {  # dir logs users
  local port
  port="$(free_port)"
  write_ov_ini "$1" "$port" "[websocket]
enabled=0"
  start_ov "$1" "$port" /health
  setup_token "http://127.0.0.1:$port/api/v1" >/dev/null
  stop_ov
  fill_board "$@"
}

# Stops the server start_ov started last.
stop_ov() {
  local pid=${BENCH_PIDS[-1]}
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  unset 'BENCH_PIDS[-1]'
}

# Starts the server on the board in DIR (its INI file names its port).
run_board() {  # dir
  PORT="$(sed -n 's/^port=//p' "$1/orvanta.ini" | head -1)"
  start_ov "$1" "$PORT" /health
  BASE="http://127.0.0.1:$PORT/api/v1"
}


# The timing half, in python3 (standard library): one subcommand per measurement, each printing
# one JSON object.  Every figure is checked before it is timed; a failed check ends the run.
cat > "$WORK/measure.py" <<'PY'
import json, os, statistics, subprocess, sys, threading, time, urllib.error, urllib.request

BASE, ROUNDS, DB = sys.argv[2], int(sys.argv[3]), sys.argv[4]

def fail(msg):
    sys.exit("FAIL: %s: the figures would mean nothing" % msg)

def call(method, path, token=None, body=None):
    """(status, decoded JSON, seconds) of one request on a connection of its own."""
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = "Bearer " + token
    data = json.dumps(body).encode() if body is not None else None
    url = path if path.startswith("http") else BASE + path
    req = urllib.request.Request(url, data=data, method=method, headers=headers)
    t0 = time.perf_counter()
    try:
        with urllib.request.urlopen(req, timeout=600) as r:
            raw, status = r.read(), r.status
    except urllib.error.HTTPError as e:
        raw, status = e.read(), e.code
    return status, json.loads(raw or b"null"), time.perf_counter() - t0

def sql(query):
    out = subprocess.run(["sqlite3", DB, query], check=True, capture_output=True, text=True).stdout
    return out.strip()

def login():
    status, body, t = call("POST", "/auth/login", body={"username": "sysop", "password": "secret1"})
    if status != 200:
        fail("login answers %d" % status)
    return body["data"]["token"], t

def median_ms(fn):
    fn()  # warm-up, checked like every round
    return statistics.median(fn() for _ in range(ROUNDS)) * 1000

def page_timer(token, path, rows, total_at_least, last_id=None):
    """A function that requests path, checks the page and returns its time."""
    def once():
        status, body, t = call("GET", path, token)
        if status != 200:
            fail("%s answers %d" % (path, status))
        items, total = body["data"]["items"], body["data"]["pagination"]["total"]
        if total < total_at_least:
            fail("%s reports %d rows, the board has %d" % (path, total, total_at_least))
        want = rows(total)
        if len(items) != want:
            fail("%s has %d rows, not %d" % (path, len(items), want))
        if last_id is not None and items[-1]["id"] != last_id:
            fail("%s ends with id %d, not %d" % (path, items[-1]["id"], last_id))
        return t
    return once

def lists():
    token, _ = login()
    logs, users = int(sql("SELECT COUNT(*) FROM system_logs")), int(sql("SELECT COUNT(*) FROM users"))
    first_log, first_user = int(sql("SELECT MIN(id) FROM system_logs")), int(sql("SELECT MAX(id) FROM users"))
    last_logs_page = (logs + 99) // 100
    last_users_page = (users + 24) // 25
    out = {
        "logs": logs, "users": users,
        "logs_first": median_ms(page_timer(token, "/logs?per_page=100", lambda n: min(n, 100), logs)),
        # The oldest line is the last of the last page however many lines the server adds.
        "logs_last": median_ms(page_timer(token, "/logs?per_page=100&page=%d" % last_logs_page,
                                          lambda n: n - (last_logs_page - 1) * 100, logs, first_log)),
        "users_first": median_ms(page_timer(token, "/users", lambda n: min(n, 25), users)),
        "users_last": median_ms(page_timer(token, "/users?page=%d" % last_users_page,
                                           lambda n: n - (last_users_page - 1) * 25, users, first_user)),
    }
    print(json.dumps(out))

class Shell:
    """One sqlite3 shell on the board, timing each statement it is given."""
    def __init__(self):
        self.p = subprocess.Popen(["sqlite3", DB], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.p.stdin.write(".timer on\n")
    def run(self, statement):
        self.p.stdin.write(statement + ";\nSELECT 'done';\n")
        self.p.stdin.flush()
        lines = []
        while True:
            line = self.p.stdout.readline()
            if line.strip() == "done":
                self.p.stdout.readline()  # the timer line of the marker
                return lines
            lines.append(line)
    def timed(self, statement):
        """(first result line, seconds)."""
        lines = self.run(statement)
        return lines[0].strip(), float(next(l for l in lines if l.startswith("Run Time:")).split()[3])

def search():
    token, _ = login()
    term = sys.argv[5]
    like = "SELECT COUNT(*) FROM system_logs WHERE message LIKE '%%%s%%'" % term
    shell = Shell()
    expected = int(shell.timed(like)[0])
    def server():
        status, body, t = call("GET", "/logs?per_page=100&search=" + urllib.request.quote(term), token)
        data = body["data"] if status == 200 else {"items": [], "pagination": {"total": None}}
        if status != 200 or data["pagination"]["total"] != expected or len(data["items"]) != min(expected, 100):
            fail("search for %r answers %d with %s rows, sqlite3 counts %d" %
                 (term, status, data["pagination"]["total"], expected))
        return t
    # The same LIKE as one scan of the sqlite3 shell, timed by the shell itself; the two take
    # turns, so that the machine's load falls on both alike.
    server()
    ours, theirs = [], []
    for _ in range(ROUNDS):
        ours.append(server())
        theirs.append(shell.timed(like)[1])
    print(json.dumps({"term": term, "matches": expected, "server": statistics.median(ours) * 1000,
                      "sqlite3": statistics.median(theirs) * 1000}))

def task_id(token, name):
    status, body, _ = call("GET", "/scheduler/tasks", token)
    if status != 200:
        fail("/scheduler/tasks answers %d" % status)
    return next(t["id"] for t in body["data"] if t["task_name"] == name)

def run_with_logins(token, name):
    """Runs a task while logins (writers) go on; (seconds of the run, login times during it)."""
    tid, done, result = task_id(token, name), threading.Event(), {}
    def run():
        status, body, t = call("POST", "/scheduler/tasks/%d/run" % tid, token)
        result.update(status=status, t=t)
        done.set()
    threading.Thread(target=run).start()
    times = []
    while not done.is_set():
        times.append(login()[1])
    if result["status"] != 200:
        fail("running %s answers %d" % (name, result["status"]))
    _, body, _ = call("GET", "/scheduler/tasks/%d" % tid, token)
    if body["data"]["last_result"] != "success":
        fail("%s did not succeed: %s" % (name, body["data"]["last_error"]))
    return result["t"], times

def wal_bytes():
    return os.path.getsize(DB + "-wal") if os.path.exists(DB + "-wal") else 0

def maintenance():
    token, _ = login()
    idle = median_ms(lambda: login()[1])
    cutoff, top = sql("SELECT datetime('now', '-30 days')"), int(sql("SELECT MAX(id) FROM system_logs"))
    older = int(sql("SELECT COUNT(*) FROM system_logs WHERE id <= %d AND timestamp < '%s'" % (top, cutoff)))
    before = int(sql("SELECT COUNT(*) FROM system_logs WHERE id <= %d" % top))
    seconds, times = run_with_logins(token, "log_cleanup")
    deleted = before - int(sql("SELECT COUNT(*) FROM system_logs WHERE id <= %d" % top))
    left = int(sql("SELECT COUNT(*) FROM system_logs WHERE timestamp < '%s'" % cutoff))
    # The task's own cut-off comes a little later than ours: lines that aged past 30 days
    # meanwhile (one every 5.2 s on this board) may go too.
    if left != 0 or not older <= deleted <= older + int(seconds / 5.184) + 2:
        fail("log_cleanup deleted %d rows of the %d older than 30 days, left %d" % (deleted, older, left))
    out = {"idle_login": idle, "cleanup_s": seconds, "deleted": deleted, "logins": len(times),
           "login_max": max(times) * 1000, "wal_after_cleanup": wal_bytes()}
    before = (os.path.getsize(DB) + wal_bytes()) / 1e6
    seconds, times = run_with_logins(token, "db_vacuum")
    # What sqlite3 rewrote: the database as the vacuum left it.
    out.update(vacuum_s=seconds, vacuum_before_mb=before, vacuum_mb=os.path.getsize(DB) / 1e6,
               vacuum_login_max=max(times) * 1000, wal_after_vacuum=wal_bytes())
    print(json.dumps(out))

def health():
    """/health alone, then while 16 clients keep searching: does the probe queue behind them?"""
    token, _ = login()
    term, clients, samples = sys.argv[5], 16, 40 * ROUNDS
    def probe():
        status, body, t = call("GET", BASE[:-len("/api/v1")] + "/health")
        if status != 200 or body.get("status") != "healthy":
            fail("/health answers %d with %r" % (status, body))
        return t
    def percentiles(times):
        times = sorted(times)
        return statistics.median(times) * 1000, times[int(len(times) * 0.99)] * 1000
    probe()
    idle = percentiles([probe() for _ in range(samples)])
    stop, searches, errors = threading.Event(), [], []
    def searcher():
        while not stop.is_set():
            status, body, t = call("GET", "/logs?per_page=100&search=" + urllib.request.quote(term), token)
            (searches if status == 200 and body["data"]["items"] else errors).append(t)
    threads = [threading.Thread(target=searcher) for _ in range(clients)]
    for t in threads:
        t.start()
    while len(searches) + len(errors) < clients:  # every searcher has had its first answer
        time.sleep(0.01)
    busy = percentiles([probe() for _ in range(samples)])
    stop.set()
    for t in threads:
        t.join()
    if errors:
        fail("%d of the searches failed" % len(errors))
    print(json.dumps({"clients": clients, "samples": samples, "idle_p50": idle[0], "idle_p99": idle[1],
                      "busy_p50": busy[0], "busy_p99": busy[1], "searches": len(searches),
                      "search_p50": statistics.median(searches) * 1000}))

{"lists": lists, "search": search, "maintenance": maintenance, "health": health}[sys.argv[1]]()
PY

echo "building the boards (the large one takes a minute or two)..."
make_board "$WORK/small" 10000 999
make_board "$WORK/large" 1000000 99999

measure() {  # board what [args...]
  python3 "$WORK/measure.py" "$2" "$BASE" "$ROUNDS" "$WORK/$1/orvanta.db" "${@:3}"
}

run_board "$WORK/small"
SMALL="$(measure small lists)"
stop_ov
run_board "$WORK/large"
LARGE="$(measure large lists)"
# A term in 1 % of the lines, and one in fewer lines than a page holds.
SEARCH="$(measure large search 'node42 from')"
RARE="$(measure large search 'node42 from 10.0.7.')"
HEALTH="$(measure large health 'node42 from')"
MAINT="$(measure large maintenance)"
stop_ov
SQL_INSERT="$("$BUILD/bench_sql_insert" 100000 10000 15)"

python3 - "$SMALL" "$LARGE" "$SEARCH" "$RARE" "$MAINT" "$HEALTH" "$SQL_INSERT" <<'EOF'
import json, sys
small, large, search, rare, maint, health = (json.loads(a) for a in sys.argv[1:7])
# bench_sql_insert's lines: "<case> rows=... ratio 91.6%"; a case it does not have is left out.
sql = {l.split()[0]: float(l.split()[-1].rstrip("%")) / 100 for l in sys.argv[7].splitlines() if l.endswith("%")}
rows = [
    # ratio, target (highest or lowest allowed), what, the figures behind it
    (large["logs_last"] / large["logs_first"], "<= 3", "last page of %d system_logs (per_page 100) / first page"
     % large["logs"], "%.1f ms / %.1f ms (10 k board: first %.1f ms, last %.1f ms)"
     % (large["logs_last"], large["logs_first"], small["logs_first"], small["logs_last"])),
] + [
    (s["server"] / s["sqlite3"], "<= 1.1", "log search over %d rows (%d matches) / the same LIKE as one sqlite3 scan"
     % (large["logs"], s["matches"]), "%.1f ms / %.1f ms (%r)" % (s["server"], s["sqlite3"], s["term"]))
    for s in (search, rare)
] + [
    (large["users_last"] / large["users_first"], "<= 3", "last page of %d users / first page" % large["users"],
     "%.1f ms / %.1f ms (1 k board: first %.1f ms, last %.1f ms)"
     % (large["users_last"], large["users_first"], small["users_first"], small["users_last"])),
    (maint["login_max"] - maint["idle_login"], "<= 200", "longest login wait (ms) during log_cleanup, over an idle login",
     "%d logins, the slowest %.1f ms, idle %.1f ms; %d rows deleted in %.1f s"
     % (maint["logins"], maint["login_max"], maint["idle_login"], maint["deleted"], maint["cleanup_s"])),
    # Truncated when the task ends; the run's own records (its log line, its scheduler_log
    # row) are written after that.
    (maint["wal_after_cleanup"] / 1e6, "<= 1", "-wal file (MB) after log_cleanup",
     "%.2f MB after db_vacuum" % (maint["wal_after_vacuum"] / 1e6)),
] + [
    (sql[case], ">= 0.9", "SQL bulk insert through the library / raw sqlite3: " + what, "bench_sql_insert's %s case" % case)
    for case, what in (("bulk", "a JSON array built for every row"), ("bulk-reuse", "one JSON array reused"),
                       ("named", "values set by name, as the server's writers do"))
    if case in sql
]
for ratio, target, what, figures in rows:
    op, limit = target.split()
    ok = ratio <= float(limit) if op == "<=" else ratio >= float(limit)
    print("%8.2f  %-7s %-4s  %s" % (ratio, target, "ok" if ok else "MISS", what))
print()
for ratio, target, what, figures in rows:
    print("  %s: %s" % (what, figures))
print("  GET /health, %d samples: idle p50 %.1f ms, p99 %.1f ms; while %d clients search %d rows "
      "(%d searches, median %.0f ms): p50 %.1f ms, p99 %.1f ms"
      % (health["samples"], health["idle_p50"], health["idle_p99"], health["clients"], large["logs"],
         health["searches"], health["search_p50"], health["busy_p50"], health["busy_p99"]))
print("  db_vacuum: writers waited up to %.1f s while sqlite3 rewrote %.0f MB (%.0f MB before): %.1f s per 100 MB"
      % (maint["vacuum_login_max"] / 1000, maint["vacuum_mb"], maint["vacuum_before_mb"],
         maint["vacuum_login_max"] / 10 / maint["vacuum_mb"]))
EOF
