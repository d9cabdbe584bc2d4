#!/usr/bin/env bash
# How the server copes with a board that has grown, on each database it runs on.
#   bench/growth.sh [build-dir] [sqlite|postgresql|mariadb] [rounds]
# (a number in place of the database is the rounds, on SQLite).  The build directory holds the
# orvantaserver to measure, any branch's; the database servers come from this checkout.
#
# Builds two boards while the server is stopped (small: 10 k log lines and 1 k users; large: 1 M
# log lines over 60 days and 100 k users) with the database's own bulk statements: straight into
# the SQLite file, or, for PostgreSQL and MariaDB, into throw-away servers that
# scripts/test-db-servers starts (and stops on exit) with a cache large enough to hold the large
# board.  The server itself makes each board's schema and first administrator first.  Then it
# runs the real server on each board and times, median of `rounds` (default 15, at least 7)
# requests after one warm-up, on both boards:
#   - POST /api/v1/auth/login and GET /api/v1/users/<guid>;
#   - the first, a middle and the last page of GET /api/v1/logs (per_page 100) without a
#     filter, with each filter alone and with two together, and of GET /api/v1/users;
#   - the log search (a common term and a term that matches nothing, the first and a deep
#     page), each request taking turns with one COUNT(*) ... LIKE of the same term sent to the
#     database's own client (sqlite3, psql, mariadb) over a connection it already holds, both
#     timed by this script's clock from sending to the whole answer;
#   - log_cleanup deleting half of the large board while a client logs in every 100 ms (on
#     SQLite back to back, as it always has): the longest login and the run time.
# A request slower than 60 s is reported as such and not repeated.  Every answer is checked
# before it is timed: status 200, its total against a direct COUNT(*) with the same filter and
# its page's ids against the same page read directly.  A mismatch ends the run.
#
# On SQLite it also prints, as it always has, the ratios first and then the absolute figures
# behind them: the last against the first page of the lists, the log search against the same
# LIKE as one sqlite3 scan (timed by the shell itself), logins back to back while log_cleanup
# deletes half of the large board, the -wal file after it, /health while 16 clients search,
# db_vacuum's pause per 100 MB and bench_sql_insert (the SQL library's inserts against raw
# sqlite3).
set -euo pipefail
. "$(dirname "$0")/wrk_common.sh"
. "$(dirname "$0")/board_common.sh"

BACKEND="${2:-sqlite}"
if [[ "$BACKEND" =~ ^[0-9]+$ ]]; then
  ROUNDS=$BACKEND
  BACKEND=sqlite
else
  ROUNDS="${3:-15}"
fi
BACKEND="$(board_backend "$BACKEND")" ||
  { echo "usage: $0 [build-dir] [sqlite|postgresql|mariadb] [rounds]" >&2; exit 2; }
if ! [[ "$ROUNDS" =~ ^[0-9]+$ ]] || [ "$ROUNDS" -lt 7 ]; then
  echo "growth.sh: rounds must be a number, at least 7 (medians of at least 7 warm requests)" >&2
  exit 2
fi
# What each database server gets for its cache (scripts/test-db-servers --memory).
DB_MEMORY=1G

need_packages sqlite3 curl
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null
# bench_sql_insert is built only where the benchmarks are (OV_BUILD_BENCH, make bench); without
# it the SQLite mode leaves its rows out.
if [ "$BACKEND" = sqlite ] && [ ! -x "$BUILD/bench_sql_insert" ] &&
    ! cmake --build "$BUILD" --target bench_sql_insert >/dev/null 2>&1; then
  echo "(no bench_sql_insert in $BUILD: configure it with -DOV_BUILD_BENCH=ON for the SQL insert figures)"
fi

start_board_bench growth
if [ "$BACKEND" != sqlite ]; then
  echo "starting the PostgreSQL and MariaDB servers (each with $DB_MEMORY of cache)..."
  start_board_db --memory="$DB_MEMORY"
fi

# The timing half, in python3 (standard library): one subcommand per measurement, each printing
# one JSON object.  Every figure is checked before it is timed; a failed check ends the run.
cat > "$WORK/measure.py" <<'PY'
import json, math, os, socket, statistics, subprocess, sys, tempfile, threading, time
import urllib.error, urllib.request

BACKEND, BASE, ROUNDS, DB = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
CAP = 60  # seconds: a slower request is reported as slow, not waited for again
MIN_ROUNDS = 7  # a request slower than a second is timed this often, not ROUNDS times

def fail(msg):
    sys.exit("FAIL: %s: the figures would mean nothing" % msg)

class Slow(Exception):
    """A request that took longer than CAP."""

def call(method, path, token=None, body=None, timeout=CAP):
    """(status, decoded JSON, seconds) of one request on a connection of its own."""
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = "Bearer " + token
    data = json.dumps(body).encode() if body is not None else None
    url = path if path.startswith("http") else BASE + path
    req = urllib.request.Request(url, data=data, method=method, headers=headers)
    t0 = time.perf_counter()
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            raw, status = r.read(), r.status
    except urllib.error.HTTPError as e:
        raw, status = e.read(), e.code
    except (socket.timeout, TimeoutError):
        raise Slow()
    except urllib.error.URLError as e:
        if isinstance(e.reason, (socket.timeout, TimeoutError)):
            raise Slow()
        raise
    return status, json.loads(raw or b"null"), time.perf_counter() - t0

# ---- the database's own client ----

def client(db):
    """The command line of the database's own client on db, quiet, tab-separated rows, no
    headers, stopping at the first error."""
    return {"sqlite": ["sqlite3", "-bail", "-batch", "-noheader", "-list", "-separator", "\t", db],
            "postgresql": ["psql", "-X", "-q", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1", "-d", db],
            "mariadb": ["mariadb", "--defaults-file=" + os.environ.get("BOARD_MY_CNF", ""), "-N", "-B", "-n",
                        db]}[BACKEND]

def sql(query):
    """The first line of query's answer, from a client started for it."""
    out = subprocess.run(client(DB), input=query + ";\n", capture_output=True, text=True)
    if out.returncode != 0:
        fail("%s: %s" % (query, out.stderr.strip()))
    return out.stdout.strip().split("\n")[0]

# The server's list order and the database's cut-off for log_cleanup's 30 days.
CUTOFF = {"sqlite": "SELECT datetime('now', '-30 days')",
          "postgresql": "SELECT (now() AT TIME ZONE 'UTC') - interval '30 days'",
          "mariadb": "SELECT UTC_TIMESTAMP() - INTERVAL 30 DAY"}[BACKEND]

class Direct:
    """The database's own client on the board, one connection kept open for every statement."""
    def __init__(self):
        self.err = tempfile.TemporaryFile(mode="w+")
        self.p = subprocess.Popen(client(DB), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err,
                                  text=True)
    def _send(self, text):
        try:
            self.p.stdin.write(text)
            self.p.stdin.flush()
        except BrokenPipeError:
            self._line()
    def _line(self):
        line = self.p.stdout.readline()
        if not line:
            self.err.seek(0)
            fail("the database's client ended: %s" % self.err.read().strip())
        return line.rstrip("\n")
    def rows(self, statement):
        """The answer's rows, each a list of texts."""
        self._send(statement + ";\nSELECT 'ov-end';\n")
        out = []
        while True:
            line = self._line()
            if line == "ov-end":
                return out
            out.append(line.split("\t"))
    def value(self, statement):
        return self.rows(statement)[0][0]
    def timed_count(self, statement):
        """(the one number statement answers, seconds from sending it to reading the answer)."""
        t0 = time.perf_counter()
        self._send(statement + ";\n")
        line = self._line()
        return int(line), time.perf_counter() - t0

def login():
    status, body, t = call("POST", "/auth/login", body={"username": "sysop", "password": "secret1"})
    if status != 200 or not body["data"].get("token"):
        fail("login answers %d" % status)
    return body["data"]["token"], t

# ---- the requests on both boards ----

def timed(once, first):
    """Median milliseconds of once() after a warm-up that took first seconds; None when a
    request took longer than CAP."""
    if first is None:
        return None
    times = []
    for _ in range(ROUNDS if first < 1 else MIN_ROUNDS):
        try:
            times.append(once())
        except Slow:
            return None
    return statistics.median(times) * 1000

def page_request(token, direct, table, where, desc, per_page, page, path):
    """Checks path, one page of a list, against the database (its total and its ids) and
    returns (the seconds of that checked warm-up request, a function that times one more);
    (None, None) when the request took longer than CAP."""
    order = "DESC" if desc else "ASC"
    def reference():
        total = int(direct.value("SELECT COUNT(*) FROM %s%s" % (table, where)))
        ids = [int(r[0]) for r in direct.rows("SELECT id FROM %s%s ORDER BY id %s LIMIT %d OFFSET %d"
                                              % (table, where, order, per_page, (page - 1) * per_page))]
        return total, ids
    def answer():
        status, body, t = call("GET", path, token)
        if status != 200:
            fail("%s answers %d" % (path, status))
        data = body["data"]
        return (data["pagination"]["total"], [i["id"] for i in data["items"]]), t
    def verify():
        # The board may change under a request (a line the server logs): the answer must then
        # match the database as it was both before and after it.
        for _ in range(5):
            before = reference()
            got, t = answer()
            if reference() == before:
                if got != before:
                    fail("%s answers %d rows, ids %s, the database has %d rows, ids %s"
                         % (path, got[0], got[1][:5], before[0], before[1][:5]))
                return got, t
        fail("the board kept changing under %s" % path)
    state = {}
    try:
        state["expected"], first = verify()
    except Slow:
        return None, None
    def once():
        got, t = answer()
        if got != state["expected"]:
            state["expected"], _ = verify()
        return t
    return first, once

def requests():
    """Every request on this board; the search ones against the direct scan."""
    token, _ = login()
    direct = Direct()
    logs = int(direct.value("SELECT COUNT(*) FROM system_logs"))
    users = int(direct.value("SELECT COUNT(*) FROM users"))
    out = {"logs": logs, "users": users, "requests": []}
    def add(key, label, kind, ms, **more):
        out["requests"].append(dict(key=key, label=label, kind=kind, ms=ms, **more))

    add("login", "POST /auth/login", "login", timed(lambda: login()[1], login()[1]))

    # A user from the middle of the table, by its guid.
    uid, guid, name = direct.rows("SELECT id, guid, username FROM users ORDER BY id LIMIT 1 OFFSET %d"
                                  % (users // 2))[0]
    def get_user():
        status, body, t = call("GET", "/users/" + guid, token)
        got = body["data"] if status == 200 else {}
        if (got.get("id"), got.get("guid"), got.get("username")) != (int(uid), guid, name):
            fail("GET /users/%s answers %d with %r, the database has user %s %s" % (guid, status, got, uid, name))
        return t
    add("user", "GET /users/<guid>", "user", timed(get_user, get_user()))

    def pages(count, per_page):
        last = max(1, (count + per_page - 1) // per_page)
        return [("first", 1), ("middle", last // 2 + 1), ("last", last)]

    # Each filter alone and two together; the rows follow the fill's pattern.
    for query in ("", "level=error", "source=http", "category=auth", "level=error&source=http",
                  "source=http&category=auth"):
        conds = [kv.split("=") for kv in query.split("&") if kv]
        where = " WHERE " + " AND ".join("%s = '%s'" % (k, v) for k, v in conds) if conds else ""
        count = int(direct.value("SELECT COUNT(*) FROM system_logs" + where))
        for which, page in pages(count, 100):
            path = "/logs?per_page=100&page=%d%s" % (page, "&" + query if query else "")
            first, once = page_request(token, direct, "system_logs", where, True, 100, page, path)
            add("logs %s %s" % (query, which), "GET /logs%s, page %d (%s)" % ("?" + query if query else "", page, which),
                "logs", timed(once, first))
            if not query:
                out["logs_" + which] = out["requests"][-1]["ms"]

    for which, page in pages(users, 25):
        path = "/users?page=%d" % page
        first, once = page_request(token, direct, "users", "", False, 25, page, path)
        add("users " + which, "GET /users, page %d (%s)" % (page, which), "users", timed(once, first))
        out["users_" + which] = out["requests"][-1]["ms"]

    # A term in 1 % of the lines and one in none (no "node97" is ever logged), each request
    # taking turns with the same LIKE as one direct scan, so that the machine's load falls on
    # both alike.
    out["terms"] = {}
    for term, what in (("node42 from", "common"), ("node97 from", "no match")):
        like = " WHERE message LIKE '%%%s%%'" % term
        scan = "SELECT COUNT(*) FROM system_logs" + like
        count = out["terms"][term] = direct.timed_count(scan)[0]
        deep = max(2, (count + 99) // 100) if count else 5001
        for which, page in (("first", 1), ("deep", deep)):
            path = "/logs?per_page=100&page=%d&search=%s" % (page, urllib.request.quote(term))
            first, once = page_request(token, direct, "system_logs", like, True, 100, page, path)
            scans = []
            def pair():
                t = once()
                scans.append(direct.timed_count(scan)[1])
                return t
            ms = timed(pair, first)
            add("search %s %s" % (what, which), "GET /logs?search=%s, page %d (%s)" % (term, page, which), "search", ms,
                direct_ms=statistics.median(scans) * 1000 if scans else None)
    print(json.dumps(out))

# ---- SQLite's own comparisons ----

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
    term = sys.argv[6]
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

# ---- maintenance tasks ----

def task_id(token, name):
    status, body, _ = call("GET", "/scheduler/tasks", token)
    if status != 200:
        fail("/scheduler/tasks answers %d" % status)
    return next(t["id"] for t in body["data"] if t["task_name"] == name)

def run_with_logins(token, name, every):
    """Runs a task while a client logs in (a writer), a login starting every `every` seconds (0:
    back to back); (seconds of the run, login times during it)."""
    tid, done, result = task_id(token, name), threading.Event(), {}
    def run():
        status, body, t = call("POST", "/scheduler/tasks/%d/run" % tid, token, timeout=3600)
        result.update(status=status, t=t)
        done.set()
    threading.Thread(target=run).start()
    times, start = [], time.perf_counter()
    while not done.is_set():
        times.append(login()[1])
        done.wait(max(0.0, start + len(times) * every - time.perf_counter()))
    if result["status"] != 200:
        fail("running %s answers %d" % (name, result["status"]))
    _, body, _ = call("GET", "/scheduler/tasks/%d" % tid, token)
    if body["data"]["last_result"] != "success":
        fail("%s did not succeed: %s" % (name, body["data"]["last_error"]))
    return result["t"], times

def wal_bytes():
    return os.path.getsize(DB + "-wal") if os.path.exists(DB + "-wal") else 0

def cleanup(token, every):
    """log_cleanup on the board, checked against the rows older than 30 days."""
    idle = timed(lambda: login()[1], login()[1])
    cutoff, top = sql(CUTOFF), int(sql("SELECT MAX(id) FROM system_logs"))
    older = int(sql("SELECT COUNT(*) FROM system_logs WHERE id <= %d AND timestamp < '%s'" % (top, cutoff)))
    before = int(sql("SELECT COUNT(*) FROM system_logs WHERE id <= %d" % top))
    seconds, times = run_with_logins(token, "log_cleanup", every)
    deleted = before - int(sql("SELECT COUNT(*) FROM system_logs WHERE id <= %d" % top))
    left = int(sql("SELECT COUNT(*) FROM system_logs WHERE timestamp < '%s'" % cutoff))
    # The task's own cut-off comes a little later than ours: lines that aged past 30 days
    # meanwhile (one every 5.2 s on this board) may go too.
    if left != 0 or not older <= deleted <= older + int(seconds / 5.184) + 2:
        fail("log_cleanup deleted %d rows of the %d older than 30 days, left %d" % (deleted, older, left))
    return {"idle_login": idle, "cleanup_s": seconds, "deleted": deleted, "before": before, "logins": len(times),
            "login_max": max(times) * 1000, "every": every}

def maintenance():
    """SQLite: log_cleanup with logins back to back, then db_vacuum."""
    token, _ = login()
    out = cleanup(token, 0)
    out["wal_after_cleanup"] = wal_bytes()
    before = (os.path.getsize(DB) + wal_bytes()) / 1e6
    seconds, times = run_with_logins(token, "db_vacuum", 0)
    # What sqlite3 rewrote: the database as the vacuum left it.
    out.update(vacuum_s=seconds, vacuum_before_mb=before, vacuum_mb=os.path.getsize(DB) / 1e6,
               vacuum_login_max=max(times) * 1000, wal_after_vacuum=wal_bytes())
    print(json.dumps(out))

def logins_during_cleanup():
    """PostgreSQL and MariaDB: log_cleanup while a client logs in every 100 ms."""
    print(json.dumps(cleanup(login()[0], 0.1)))

def health():
    """/health alone, then while 16 clients keep searching: does the probe queue behind them?"""
    token, _ = login()
    term, clients, samples = sys.argv[6], 16, 40 * ROUNDS
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

def size():
    """The board's size in the database, and the cache the database has, as text."""
    if BACKEND == "sqlite":
        return print(json.dumps({"board_mb": (os.path.getsize(DB) + wal_bytes()) / 1e6,
                                 "cache": "the operating system's page cache"}))
    if BACKEND == "postgresql":
        board = int(sql("SELECT pg_database_size(current_database())"))
        cache = "shared_buffers " + sql("SHOW shared_buffers")
    else:
        board = int(sql("SELECT SUM(data_length + index_length) FROM information_schema.tables "
                        "WHERE table_schema = DATABASE()"))
        cache = "innodb_buffer_pool_size %d MB" % (int(sql("SELECT @@innodb_buffer_pool_size")) // 1048576)
    print(json.dumps({"board_mb": board / 1e6, "cache": cache}))

{"requests": requests, "search": search, "maintenance": maintenance, "cleanup": logins_during_cleanup,
 "health": health, "size": size}[sys.argv[1]]()
PY

echo "building the boards on $BACKEND (the large one takes a minute or two)..."
make_board "$WORK/small" 10000 999
make_board "$WORK/large" 1000000 99999

measure() {  # board what [args...]
  python3 "$WORK/measure.py" "$2" "$BACKEND" "${BASE:-}" "$ROUNDS" "$(board_db "$WORK/$1")" "${@:3}"
}

SIZE="$(measure large size)"
run_board "$WORK/small"
SMALL="$(measure small requests)"
stop_ov
run_board "$WORK/large"
LARGE="$(measure large requests)"
if [ "$BACKEND" = sqlite ]; then
  # A term in 1 % of the lines, and one in fewer lines than a page holds.
  SEARCH="$(measure large search 'node42 from')"
  RARE="$(measure large search 'node42 from 10.0.7.')"
  HEALTH="$(measure large health 'node42 from')"
  MAINT="$(measure large maintenance)"
else
  MAINT="$(measure large cleanup)"
fi
stop_ov

if [ "$BACKEND" = sqlite ]; then
SQL_INSERT=""
[ ! -x "$BUILD/bench_sql_insert" ] || SQL_INSERT="$("$BUILD/bench_sql_insert" 100000 10000 15)"
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
echo
fi

# Every request on both boards, for every database alike.
python3 - "$BACKEND" "$SIZE" "$SMALL" "$LARGE" "$MAINT" <<'EOF'
import json, sys
backend = sys.argv[1]
size, small, large, maint = (json.loads(a) for a in sys.argv[2:6])
name = {"sqlite": "SQLite", "postgresql": "PostgreSQL", "mariadb": "MariaDB"}[backend]
print("%s, %s; the large board takes %.0f MB" % (name, size["cache"], size["board_mb"]))
print("small board: %d log lines, %d users; large board: %d log lines, %d users; paths under /api/v1, logs"
      " per_page 100, users 25 a page; medians of warm requests in ms" % (small["logs"], small["users"],
                                                                          large["logs"], large["users"]))
print()
# The targets on the large board, by kind of request: (the most ms, the most large/small,
# the most server/direct scan).
TARGETS = {"login": (10, 1.5, None), "user": (10, 1.5, None), "logs": (50, None, None), "users": (20, None, None),
           "search": (None, None, 1.2)}
def ms(v):
    return "> 60 s" if v is None else "%.1f" % v
def times(a, b):
    return "%.2f" % (a / b) if a is not None and b else "-"
by_key = {r["key"]: r for r in small["requests"]}
line = "%-54s %8s %8s %7s %8s %7s  %-23s %s"
print(line % ("request (large board's page)", "small", "large", "ratio", "scan", "/scan", "target (large)",
              "verdict"))
for r in large["requests"]:
    s, l, d = by_key.get(r["key"], {}).get("ms"), r["ms"], r.get("direct_ms")
    most_ms, most_ratio, most_scan = TARGETS[r["kind"]]
    target, ok = [], l is not None
    if most_ms is not None:
        target.append("<= %d ms" % most_ms)
        ok = ok and l <= most_ms
    if most_ratio is not None:
        target.append("<= %.1fx small" % most_ratio)
        ok = ok and s is not None and l / s <= most_ratio
    if most_scan is not None:
        target.append("<= %.1fx scan" % most_scan)
        ok = ok and d is not None and l / d <= most_scan
    scan = ("%.1f" % d if d is not None else "-", times(l, d)) if "direct_ms" in r else ("", "")
    print(line % ((r["label"], ms(s), ms(l), times(l, s)) + scan + (", ".join(target), "ok" if ok else "MISS")))
print()
print("search: %s; each request took turns with one COUNT(*) ... LIKE of the same term (\"scan\") sent to the "
      "database's own client over a connection it holds, both timed by this script's clock from sending to the "
      "whole answer" % ", ".join("%r matches %d lines" % (t, n) for t, n in large["terms"].items()))
print("log_cleanup: %d of %d log lines deleted in %.1f s while %s; %d logins, the longest %.1f ms (idle %s ms):"
      " %s (target <= 200 ms)"
      % (maint["deleted"], maint["before"], maint["cleanup_s"],
         "a client logged in every %d ms" % (maint["every"] * 1000) if maint["every"] else "logins ran back to back",
         maint["logins"], maint["login_max"], ms(maint["idle_login"]), "ok" if maint["login_max"] <= 200 else "MISS"))
EOF
