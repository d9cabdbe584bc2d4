#!/usr/bin/env python3
"""What a database outage costs the board: clients loop lookups while the database server cannot
be reached for a while, and this prints the log lines written, the connection attempts that
reached the server, how every request was answered and how soon the board was back.

    bench/outage.py <build-dir> [postgresql,mariadb] [close,refuse,hold] [clients] [seconds] [nodes]

The log lines counted are those written during the outage and the line of its end.  Defaults:
both engines, the three ways a server goes away, 24 clients, a 20 s outage, 10 hub nodes that
reconnect every 0.1 s (what each try got is counted: a welcome, a close code, an HTTP status,
or the error).  The database servers come from scripts/test-db-servers (started here and stopped at the end); the
board reaches its server through the end-to-end tests' relay (tests/e2e/dbrelay.py), which
counts the connections reaching it and, for the outage, refuses them ("refuse": a stopped
server), accepts and closes them at once ("close"), or holds them without a word ("hold": a
network partition).  A refused connection never reaches the relay: for "refuse" the attempts
are the machine's failed TCP connects (/proc/net/snmp AttemptFails) in the outage, an upper
bound.  Clients loop GET /api/v1/users/1 and GET /api/v1/logs?per_page=10 (20 s client
time-out); a monitor asks /health every half second.  Each engine and mode gets a fresh board.
"""
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from dbrelay import RelayProcess  # noqa: E402
from ovfixture import OVServer, wait_until  # noqa: E402
from test_db_outage import Load, Nodes, add_api_key  # noqa: E402

PREFIX = {"postgresql": "OV_TEST_PG_", "mariadb": "OV_TEST_MYSQL_"}
BACK = "Database reachable again after"


def attempt_fails():
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Tcp:")]
    return int(rows[1][rows[0].index("AttemptFails")])


class Monitor:
    """Asks /health every half second until told to stop."""

    def __init__(self, srv):
        self.srv = srv
        self.health = []  # (time, status word)
        self.stop = False

    def run(self):
        while not self.stop:
            try:
                word = self.srv.json("GET", "/health", timeout=20)[1].get("status")
            except (OSError, ValueError, AttributeError):
                word = "timeout"
            self.health.append((time.monotonic(), word))
            time.sleep(0.5)


def log_time(line):
    """The time of a log line (local time, as the server writes it), 0 for a line without one."""
    try:
        return datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f").timestamp()
    except ValueError:
        return 0


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p))] if values else 0.0


def run(engine, mode, clients, seconds, node_count):
    port = int(os.environ[PREFIX[engine] + "PORT"])
    with RelayProcess(port) as relay, OVServer(db=engine, config={"database": {"port": relay.port}}) as srv:
        token = srv.setup_admin()
        add_api_key(srv)
        monitor = Monitor(srv)
        load = Load(srv, token, clients, extra=(monitor.run,))
        nodes = [Nodes(srv, load) for _ in range(node_count)]
        threads = [threading.Thread(target=n.run, daemon=True) for n in nodes]
        for t in threads:
            t.start()
        load.threads += threads
        try:
            if not wait_until(lambda: any(a[2] == 200 for a in load.answers), 10):
                raise SystemExit("%s: the board does not answer before the outage" % engine)
            time.sleep(1)
            lines_before = len(srv.log_text().splitlines())
            accepted, fails = relay.accepted, attempt_fails()
            down_wall = time.time()  # the board may log its first line before the relay answers
            relay.set_mode(mode)
            down = time.monotonic()
            time.sleep(seconds)
            attempts = relay.accepted - accepted if mode != "refuse" else attempt_fails() - fails
            relay.set_mode("forward")
            up, up_wall = time.monotonic(), time.time()
            ok = wait_until(lambda: srv.json("GET", "/api/v1/users/1", token=token)[0] == 200, 10, 0.01)
            lookup_back = time.monotonic() - up if ok else None
            ok = wait_until(lambda: srv.json("GET", "/health")[1].get("status") == "healthy", 10, 0.01)
            health_back = time.monotonic() - up if ok else None
            wait_until(lambda: BACK in srv.log_text(), 3)
            time.sleep(1)
        finally:
            monitor.stop = True
            load.end()
        # What the outage wrote: the lines of its time and the line of its end (the hub nodes'
        # own lines once they connect again are the board's ordinary traffic).
        lines = [line for line in srv.log_text().splitlines()[lines_before:]
                 if down_wall <= log_time(line) + 0.001 <= up_wall + 0.001 or BACK in line]  # ms stamps
        srv.stop()
    with load.lock:
        during = [a for a in load.answers if a[0] >= down + 0.5 and a[1] <= up]
        health = [w for t, w in monitor.health if down + 2.5 <= t <= up]
    tries = {}
    for n in nodes:
        for t in n.between(down + 0.5, up):
            tries[str(t[2])] = tries.get(str(t[2]), 0) + 1
    statuses = {}
    for a in during:
        statuses[a[2]] = statuses.get(a[2], 0) + 1
    latency = [(a[1] - a[0]) * 1000 for a in during]
    return {
        "lines": len(lines), "attempts": attempts, "requests": len(during), "statuses": statuses,
        "retry_after": sum(1 for a in during if a[3]), "p50": percentile(latency, 0.5), "max": max(latency or [0]),
        "health": sorted(set(health)), "lookup_back": lookup_back, "health_back": health_back, "log": lines,
        "nodes": tries,
    }


def seconds_text(v):
    return "%.2f s" % v if v is not None else "not back in 10 s"


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    os.environ["OV_BUILD_DIR"] = os.path.abspath(sys.argv[1])
    engines = (sys.argv[2] if len(sys.argv) > 2 else "postgresql,mariadb").split(",")
    modes = (sys.argv[3] if len(sys.argv) > 3 else "close,refuse,hold").split(",")
    clients = int(sys.argv[4]) if len(sys.argv) > 4 else 24
    seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 20.0
    node_count = int(sys.argv[6]) if len(sys.argv) > 6 else 10
    script = os.path.join(ROOT, "scripts", "test-db-servers")
    state = tempfile.mkdtemp(prefix="ov-outage-")
    out = subprocess.run([script, "start", state], capture_output=True, text=True, timeout=240)
    if out.returncode != 0:
        raise SystemExit(out.stdout + out.stderr)
    try:
        for line in out.stdout.splitlines():
            if line.startswith("OV_TEST_") and "=" in line:
                k, v = line.split("=", 1)
                os.environ[k] = v
        print("%d clients, %d hub nodes, %.0f s outage" % (clients, node_count, seconds))
        print("| engine | mode | log lines | attempts | requests | answers | Retry-After | latency p50/max ms "
              "| /health during | lookup back | /health back | node tries |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|")
        logs = []
        for engine in engines:
            for mode in modes:
                r = run(engine, mode, clients, seconds, node_count)
                answers = ", ".join("%s: %d" % (k, v) for k, v in sorted(r["statuses"].items(), key=str))
                tries = ", ".join("%s: %d" % (k, v) for k, v in sorted(r["nodes"].items()))
                print("| %s | %s | %d | %d | %d | %s | %d | %.0f / %.0f | %s | %s | %s | %s |" % (
                    engine, mode, r["lines"], r["attempts"], r["requests"], answers, r["retry_after"], r["p50"],
                    r["max"], "/".join(r["health"]), seconds_text(r["lookup_back"]), seconds_text(r["health_back"]),
                    tries or "-"))
                sys.stdout.flush()
                logs.append((engine, mode, r["log"]))
        for engine, mode, lines in logs:
            print("\n-- log of %s, %s (%d lines)" % (engine, mode, len(lines)))
            for line in lines[:40]:
                print("   " + line[:220])
    finally:
        subprocess.run([script, "stop", state], capture_output=True, timeout=120)
        shutil.rmtree(state, ignore_errors=True)


if __name__ == "__main__":
    main()
