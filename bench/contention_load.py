#!/usr/bin/env python3
"""The load and the probes of bench/contention.sh (python3 standard library only).

    contention_load.py PORT [--steps 0,8,16,32,64] [--seconds 20] [--warmup 5] [--gap 0.03]
                            [--status-gap 0.1] [--timeout 90] [--term TEXT]

Against a server on 127.0.0.1:PORT whose first administrator is sysop / secret1 and whose hub
is on (/ws on the HTTP port): one web administrator stays subscribed to server_status for the
whole run, and for each number N of searchers, N clients loop GET /api/v1/logs?search=TERM while
three probes (/health, GET /api/v1/users/<id>, a login) each loop on a client of their own, and
a monitor polls GET /api/v1/status about ten times a second (--status-gap between an answer and
the next request) on a client of its own, its latency measured as a fourth probe.

The searchers run in processes of their own (up to 16 threads each) and so does every probe
and the hub client: a probe's clock is then never held up by another client's Python code
waiting for the interpreter lock.  Every client uses a new connection for each request, as the
server closes after each answer, and times it from connecting to the last byte of the answer.
Before the first step every route must answer correctly once, else the run ends: figures of
a server that answers errors mean nothing.
"""
import argparse
import http.client
import json
import math
import multiprocessing as mp
import os
import queue
import socket
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from wsclient import WSClient  # noqa: E402

HOST = "127.0.0.1"
ADMIN = ("sysop", "secret1")
# The login probe's own account, made at the start: the board's callers have no usable password.
PROBER = ("contention_probe", "probe-secret-1")
SEARCHERS_PER_PROCESS = 16
# How many examples of unexpected answers each client keeps.
EXAMPLES = 3


class Abort(Exception):
    """A check before the measurement failed."""


# ---- one request ---------------------------------------------------------------------------------

def call(port, method, path, token=None, body=None, timeout=90.0):
    """One request on a connection of its own: (outcome, headers, raw body, seconds).  outcome is
    the status code, "timeout" when the server kept the client waiting past `timeout`, or
    "conn-error:<kind>" when the connection failed."""
    headers = {}
    if token:
        headers["Authorization"] = "Bearer " + token
    data = None
    if body is not None:
        data = json.dumps(body).encode()
        headers["Content-Type"] = "application/json"
    conn = http.client.HTTPConnection(HOST, port, timeout=timeout)
    t0 = time.perf_counter()
    try:
        conn.request(method, path, body=data, headers=headers)
        r = conn.getresponse()
        raw = r.read()
        return r.status, r.headers, raw, time.perf_counter() - t0
    except (socket.timeout, TimeoutError):
        return "timeout", None, b"", time.perf_counter() - t0
    except (OSError, http.client.HTTPException) as e:
        return "conn-error:" + type(e).__name__, None, b"", time.perf_counter() - t0
    finally:
        conn.close()


def data_of(raw):
    """The envelope's data of a successful answer, or None."""
    try:
        body = json.loads(raw)
    except ValueError:
        return None
    return body.get("data") if isinstance(body, dict) and body.get("success") is True else None


# ---- what each kind of request must answer ---------------------------------------------------------
# Each check turns one answer into (key for the status counts, error text or None, extra flag).

def check_search(status, headers, raw):
    if status == 200:
        data = data_of(raw)
        try:
            ok = data["items"] == [] and data["pagination"]["total"] == 0
        except (TypeError, KeyError):
            ok = False
        return ("200", None, False) if ok else ("200-bad", "200 without an empty list: %.200r" % raw, False)
    if status == 503:
        if headers.get("Retry-After"):
            return "503", None, False
        return "503-no-retry-after", "503 without Retry-After: %.200r" % raw, False
    return str(status), "%s: %.200r" % (status, raw), False


def check_health(status, headers, raw):
    if status != 200:
        return str(status), "%s: %.200r" % (status, raw), False
    try:
        state = json.loads(raw).get("status")
    except (ValueError, AttributeError):
        state = None
    if state not in ("healthy", "degraded"):
        return "200-bad", "200 without a status: %.200r" % raw, False
    return "200", None, state == "degraded"


def user_check(uid, username):
    def check(status, headers, raw):
        if status != 200:
            return str(status), "%s: %.200r" % (status, raw), False
        data = data_of(raw)
        if not isinstance(data, dict) or data.get("id") != uid or data.get("username") != username:
            return "200-bad", "200 with another user: %.200r" % raw, False
        return "200", None, False
    return check


def status_check(users):
    """The status object, counting at least the users the board had when the run began."""
    def check(status, headers, raw):
        if status != 200:
            return str(status), "%s: %.200r" % (status, raw), False
        data = data_of(raw)
        total = data.get("total_users") if isinstance(data, dict) else None
        if not isinstance(total, int) or total < users or not isinstance(data.get("total_config_entries"), int):
            return "200-bad", "200 without the board's totals: %.200r" % raw, False
        return "200", None, False
    return check


def check_login(status, headers, raw):
    if status != 200:
        return str(status), "%s: %.200r" % (status, raw), False
    data = data_of(raw)
    if not isinstance(data, dict) or not data.get("token"):
        return "200-bad", "200 without a token: %.200r" % raw, False
    return "200", None, False


# ---- the clients ---------------------------------------------------------------------------------

class Tally:
    """One client's answers: (time it ended, seconds, key, flag) each, and a few error examples."""

    def __init__(self):
        self.rows = []
        self.examples = []
        self.lock = threading.Lock()

    def add(self, outcome, check):
        status, headers, raw, seconds = outcome
        if isinstance(status, int):
            key, error, flag = check(status, headers, raw)
        else:
            key, error, flag = status, status, False
        with self.lock:
            self.rows.append((time.monotonic(), seconds, key, flag))
            if error and len(self.examples) < EXAMPLES:
                self.examples.append(error)


def searchers(port, token, term, threads, t_end, timeout, out):
    """`threads` clients looping the search until t_end (monotonic); a search under way then
    is waited for (at most `timeout`)."""
    tally = Tally()
    path = "/api/v1/logs?per_page=100&search=" + urllib.parse.quote(term)

    def loop():
        while time.monotonic() < t_end:
            tally.add(call(port, "GET", path, token, timeout=timeout), check_search)
    ts = [threading.Thread(target=loop) for _ in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    out.put(("search", tally.rows, tally.examples))


def probe(name, port, request, check, t_start, t_end, gap, timeout, out):
    """One client asking `request` (method, path, token, body) from t_start to t_end, `gap`
    seconds between an answer and the next request."""
    tally = Tally()
    time.sleep(max(0.0, t_start - time.monotonic()))
    while time.monotonic() < t_end:
        tally.add(call(port, *request, timeout=timeout), check)
        time.sleep(gap)
    out.put((name, tally.rows, tally.examples))


def hub_client(port, token, counts, state, stop):
    """The web administrator: subscribed to server_status, reading every frame as it comes (so
    that the hub never sees a slow consumer) until `stop`.  counts: [frames, server_status
    events]; state: 1 once subscribed, 2 when the connection ended early, -1 when it could not
    be made."""
    try:
        ws = WSClient.connect(HOST, port, path="/ws?token=" + urllib.parse.quote(token), timeout=10)
        if not ws.recv_json(type_="welcome", timeout=10):
            raise ConnectionError("no welcome")
        ws.send_json({"type": "subscribe", "events": ["server_status"]})
    except Exception as e:  # noqa: BLE001 -- any failure is reported to the driver, which ends the run
        print("hub client: %s: %s" % (type(e).__name__, e), file=sys.stderr, flush=True)
        state.value = -1
        return
    state.value = 1
    try:
        while not stop.is_set():
            try:
                raw = ws.recv_message(timeout=0.5)
            except TimeoutError:
                continue
            if raw is None:
                raise ConnectionError("closed by the hub: %s %s" % (ws.close_code, ws.close_reason))
            counts[0] += 1
            try:
                msg = json.loads(raw)
            except ValueError:
                continue
            if isinstance(msg, dict) and msg.get("type") == "event" and msg.get("event") == "server_status":
                counts[1] += 1
    except Exception as e:  # noqa: BLE001 -- reported with the figures
        print("hub client: %s: %s" % (type(e).__name__, e), file=sys.stderr, flush=True)
        state.value = 2
    finally:
        ws.close()


# ---- figures -------------------------------------------------------------------------------------

def percentile(sorted_values, p):
    """Nearest rank."""
    if not sorted_values:
        return float("nan")
    return sorted_values[max(0, math.ceil(p * len(sorted_values)) - 1)]


def statuses(rows):
    counts = {}
    for _, _, key, _ in rows:
        counts[key] = counts.get(key, 0) + 1
    return " ".join("%s:%d" % kv for kv in sorted(counts.items(), key=lambda kv: (kv[0] != "200", kv[0])))


def summary(rows):
    ms = sorted(r[1] * 1000 for r in rows)
    return {"count": len(rows), "p50": percentile(ms, 0.5), "p99": percentile(ms, 0.99),
            "max": ms[-1] if ms else float("nan"), "statuses": statuses(rows),
            "flagged": sum(1 for r in rows if r[3]),
            "errors": sum(1 for r in rows if r[2] not in ("200", "503"))}


# ---- the run -------------------------------------------------------------------------------------

def expect(what, outcome, check):
    status, headers, raw, _ = outcome
    key, error, flag = check(status, headers, raw) if isinstance(status, int) else (status, status, False)
    if key != "200":
        raise Abort("%s answers %s" % (what, error or key))
    return raw, flag


def prepare(port, term, timeout, gap, status_gap):
    """Checks every request once; returns the admin token, the probes and the probed user."""
    raw, _ = expect("POST /api/v1/auth/login (sysop)",
                    call(port, "POST", "/api/v1/auth/login", body=dict(zip(("username", "password"), ADMIN))),
                    check_login)
    token = data_of(raw)["token"]

    raw, _ = expect("GET /api/v1/logs?search=%s" % term,
                    call(port, "GET", "/api/v1/logs?per_page=100&search=" + urllib.parse.quote(term), token,
                         timeout=timeout), check_search)

    # A user from the middle of the board, by its numeric id.
    status, _, raw, _ = call(port, "GET", "/api/v1/users?per_page=1", token)
    total = (data_of(raw) or {}).get("pagination", {}).get("total") if status == 200 else None
    if not total:
        raise Abort("GET /api/v1/users answers %s: %.200r" % (status, raw))
    status, _, raw, _ = call(port, "GET", "/api/v1/users?per_page=1&page=%d" % (total // 2 + 1), token)
    items = (data_of(raw) or {}).get("items") if status == 200 else None
    if not items:
        raise Abort("GET /api/v1/users?page=%d answers %s: %.200r" % (total // 2 + 1, status, raw))
    uid, username = items[0]["id"], items[0]["username"]

    status, _, raw, _ = call(port, "POST", "/api/v1/users", token,
                             {"username": PROBER[0], "password": PROBER[1], "email": "probe@example.org"})
    if status not in (201, 409):
        raise Abort("POST /api/v1/users (the login probe's account) answers %s: %.200r" % (status, raw))

    login_body = dict(zip(("username", "password"), PROBER))
    # (name, request, check, seconds between an answer and the next request)
    probes = [
        ("GET /health", ("GET", "/health", None, None), check_health, gap),
        ("GET /api/v1/users/%d" % uid, ("GET", "/api/v1/users/%d" % uid, token, None), user_check(uid, username), gap),
        ("POST /api/v1/auth/login", ("POST", "/api/v1/auth/login", None, login_body), check_login, gap),
        ("GET /api/v1/status", ("GET", "/api/v1/status", token, None), status_check(total), status_gap),
    ]
    for name, request, check, _ in probes:
        _, degraded = expect(name, call(port, *request), check)
        if degraded:
            raise Abort("GET /health answers \"degraded\" on an idle server")
    return token, probes, total


def run_step(ctx, port, token, term, n, args, probes):
    """One step: n searchers, then the probes; returns the figures."""
    out = ctx.Queue()
    t0 = time.monotonic()
    t_start, t_end = t0 + args.warmup, t0 + args.warmup + args.seconds
    procs = []
    left = n
    while left > 0:
        k = min(SEARCHERS_PER_PROCESS, left)
        left -= k
        procs.append(ctx.Process(target=searchers, args=(port, token, term, k, t_end, args.timeout, out)))
    for name, request, check, gap in probes:
        procs.append(ctx.Process(target=probe, args=(name, port, request, check, t_start, t_end, gap,
                                                     args.timeout, out)))
    for p in procs:
        p.start()
    results = {}
    for _ in procs:
        # Every client ends by itself: the last request of each is bounded by the time-out.
        try:
            name, rows, examples = out.get(timeout=args.warmup + args.seconds + args.timeout + 60)
        except queue.Empty:
            for p in procs:
                p.kill()
            raise Abort("a client process of the step with %d searchers gave no figures" % n)
        r = results.setdefault(name, {"rows": [], "examples": []})
        r["rows"] += rows
        r["examples"] += examples
    for p in procs:
        p.join()
    drained = time.monotonic() - t_end
    step = {"n": n, "probes": [], "drained": drained}
    for name, _, _, _ in probes:
        r = results[name]
        step["probes"].append((name, summary(r["rows"]), r["examples"]))
    s = results.get("search", {"rows": [], "examples": []})
    inside = [row for row in s["rows"] if t_start <= row[0] < t_end]
    step["search"] = dict(summary(inside), rate=len(inside) / args.seconds, all=len(s["rows"]),
                          all_errors=sum(1 for row in s["rows"] if row[2] not in ("200", "503")),
                          examples=s["examples"])
    return step


def fmt(v):
    return "-" if v != v else ("%.0f" % v if v >= 100 else "%.1f" % v)


def print_step(step, args, hub_frames, hub_status, hub_state):
    """hub_frames, hub_status: what the web administrator received during the step."""
    print()
    print("== %d searchers: probes for %d s after %d s of searching; load average %s" %
          (step["n"], args.seconds, args.warmup, " ".join(open("/proc/loadavg").read().split()[:3])))
    print("  %-26s %6s %8s %8s %8s  %s" % ("probe", "count", "p50 ms", "p99 ms", "max ms", "statuses"))
    for name, s, examples in step["probes"]:
        extra = "  degraded: %d" % s["flagged"] if name == "GET /health" else ""
        print("  %-26s %6d %8s %8s %8s  %s%s" % (name, s["count"], fmt(s["p50"]), fmt(s["p99"]), fmt(s["max"]),
                                                 s["statuses"], extra))
        for e in examples:
            print("    unexpected: %s" % e)
    s = step["search"]
    if step["n"]:
        print("  searches: %.2f/s (%d ended in the %d s), p50 %s ms, max %s ms, %s" %
              (s["rate"], s["count"], args.seconds, fmt(s["p50"]), fmt(s["max"]), s["statuses"] or "none"))
        print("    all %d searches of the step (warm-up and the last ones too): %d errors; the last ended %.1f s "
              "after the probes" % (s["all"], s["all_errors"], step["drained"]))
        for e in s["examples"]:
            print("    ERROR: %s" % e)
    print("  web administrator: %d frames, %d of them server_status events, during the step%s" %
          (hub_frames, hub_status, "" if hub_state == 1 else "; ITS CONNECTION ENDED EARLY (see above)"))
    sys.stdout.flush()


def print_table(steps):
    print()
    print("summary: latency p50 / p99 / max in ms; non-200 answers of each probe; searches per second")
    short = ["/health", "user by id", "login", "status"]
    head = "%4s " + " | ".join(["%-25s"] * len(short)) + " | %s"
    print(head % (("N",) + tuple(short) + ("searches/s, p50 / max ms, statuses",)))
    for step in steps:
        cells = []
        for name, s, _ in step["probes"]:
            non200 = s["count"] - sum(int(kv.split(":")[1]) for kv in s["statuses"].split() if kv.startswith("200:"))
            cell = "%s/%s/%s" % (fmt(s["p50"]), fmt(s["p99"]), fmt(s["max"]))
            marks = []
            if non200:
                marks.append("!%d" % non200)
            if s["flagged"]:
                marks.append("deg %d" % s["flagged"])
            cells.append((cell + " " + " ".join(marks)).strip())
        s = step["search"]
        search = "-" if not step["n"] else "%.2f, %s / %s, %s" % (s["rate"], fmt(s["p50"]), fmt(s["max"]), s["statuses"])
        print(head % ((step["n"],) + tuple(cells) + (search,)))
    print("(!k: k answers other than 200; deg k: k /health answers saying \"degraded\")")
    errors = sum(st["search"]["all_errors"] for st in steps)
    print("searches answering neither 200 with an empty list nor 503 with Retry-After: %d" % errors)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("port", type=int)
    ap.add_argument("--steps", default="0,8,16,32,64")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--warmup", type=float, default=5)
    ap.add_argument("--gap", type=float, default=0.03)
    ap.add_argument("--status-gap", type=float, default=0.1)
    ap.add_argument("--timeout", type=float, default=90)
    ap.add_argument("--term", default="node97 from")
    args = ap.parse_args()
    steps = [int(s) for s in args.steps.split(",")]

    # No client thread runs in this process before a step forks its clients.
    ctx = mp.get_context("fork")
    try:
        token, probes, users = prepare(args.port, args.term, args.timeout, args.gap, args.status_gap)
    except Abort as e:
        sys.exit("FAIL before measuring: %s: the figures would mean nothing" % e)

    counts = ctx.Array("l", 2)
    state = ctx.Value("i", 0)
    stop = ctx.Event()
    hub = ctx.Process(target=hub_client, args=(args.port, token, counts, state, stop))
    hub.start()
    try:
        deadline = time.monotonic() + 15
        while state.value == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        if state.value != 1:
            raise Abort("the web administrator could not connect to /ws and subscribe")
        # A login must reach the subscriber as a server_status event.
        before = counts[1]
        expect("POST /api/v1/auth/login", call(args.port, *probes[2][1]), probes[2][2])
        deadline = time.monotonic() + 15
        while counts[1] == before and time.monotonic() < deadline:
            time.sleep(0.05)
        if counts[1] == before:
            raise Abort("no server_status event reached the web administrator after a login")
        print("checked: every probe answers 200, the search for %r answers 200 with an empty list, the web "
              "administrator gets server_status; %d users on the board, probing user %s" %
              (args.term, users, probes[1][0].rsplit("/", 1)[1]))
        print("each step: N searchers (per_page 100, %d a process) start, after %g s the probes start, "
              "each a single client with %g ms between an answer and its next request (the status poller "
              "%g ms), for %g s; requests time out after %g s" %
              (SEARCHERS_PER_PROCESS, args.warmup, args.gap * 1000, args.status_gap * 1000, args.seconds,
               args.timeout))
        sys.stdout.flush()
        done = []
        for n in steps:
            frames, events = counts[0], counts[1]
            step = run_step(ctx, args.port, token, args.term, n, args, probes)
            done.append(step)
            print_step(step, args, counts[0] - frames, counts[1] - events, state.value)
        print_table(done)
    except Abort as e:
        sys.exit("FAIL: %s: the figures would mean nothing" % e)
    finally:
        stop.set()
        hub.join(10)
        if hub.is_alive():
            hub.kill()
    if state.value != 1:
        print("the web administrator's connection ended before the run did")


if __name__ == "__main__":
    main()
