#!/usr/bin/env python3
"""Test driver: unit tests (GoogleTest), then end-to-end tests (python unittest).

Starts the PostgreSQL and MariaDB test servers first when scripts/test-db-servers exists, so
database tests run against all three backends, and stops them at the end.  Prints one summary
line "N passed, N failed, N skipped" and exits non-zero when anything failed.

    run-tests <build-dir> [--unit-only] [--gtest-filter=F] [--e2e-modules=test_a,test_b]

The unit tests run as OV_TEST_JOBS (default 3) shards in processes of their own, and the
end-to-end modules each in a process of its own, OV_TEST_JOBS at a time.
"""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_db_servers(env):
    """(state directory or None, whether they run).  A second attempt follows a failed first one;
    servers that do not start at all fail the run, since their tests would only be skipped."""
    script = os.path.join(ROOT, "scripts", "test-db-servers")
    if not os.path.exists(script) or os.environ.get("OV_TEST_NO_DB_SERVERS"):
        return None, True
    for attempt in (1, 2):
        state = tempfile.mkdtemp(prefix="ov-dbsrv-")
        out = subprocess.run([script, "start", state], capture_output=True, text=True, timeout=240)
        if out.returncode == 0:
            break
        sys.stderr.write(out.stdout + out.stderr)
        sys.stderr.write("test database servers did not start (attempt %d)\n" % attempt)
        stop_db_servers(state)
    else:
        return None, False
    for line in out.stdout.splitlines():
        if "=" in line and line.startswith("OV_TEST_"):
            k, v = line.split("=", 1)
            env[k] = v
    return state, True


def stop_db_servers(state):
    if not state:
        return
    script = os.path.join(ROOT, "scripts", "test-db-servers")
    subprocess.run([script, "stop", state], capture_output=True, timeout=120)


def jobs():
    # Three, also on two cores: the tests mostly wait for sockets, servers and timers.
    return max(1, int(os.environ.get("OV_TEST_JOBS", "3")))


def create_shard_database(env, name):
    """An empty database of that name on each running test server (as the fixture makes its own)."""
    if env.get("OV_TEST_PG_PORT"):
        p = "OV_TEST_PG_"
        subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", env[p + "HOST"], "-p", env[p + "PORT"],
                        "-U", env[p + "USER"], "-d", env[p + "DB"], "-c",
                        "CREATE DATABASE %s ENCODING 'UTF8' TEMPLATE template0" % name],
                       check=True, capture_output=True, timeout=60, env=dict(env, PGPASSWORD=env[p + "PASSWORD"]))
    if env.get("OV_TEST_MYSQL_PORT"):
        p = "OV_TEST_MYSQL_"
        subprocess.run(["mariadb", "--no-defaults", "-h", env[p + "HOST"], "-P", env[p + "PORT"], "-u", env[p + "USER"],
                        "-p" + env[p + "PASSWORD"], "-e",
                        "CREATE DATABASE %s CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci" % name],
                       check=True, capture_output=True, timeout=60)


def shard_environments(env, shards):
    """One environment per unit-test shard.  The server tests use fixed table names in the test
    database, so every shard after the first gets a database of its own; when one cannot be
    made, the tests run in one process."""
    envs = []
    for i in range(shards):
        e = dict(env, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(i))
        if i > 0 and (env.get("OV_TEST_PG_PORT") or env.get("OV_TEST_MYSQL_PORT")):
            name = "orvanta_test_shard%d" % i
            try:
                create_shard_database(env, name)
            except (OSError, subprocess.SubprocessError) as ex:
                print("no test database for a second unit-test process (%s); running in one" % ex, flush=True)
                return [dict(env)]
            e["OV_TEST_PG_DB"] = e["OV_TEST_MYSQL_DB"] = name
        envs.append(e)
    return envs


def run_unit(build, env, gtest_filter=None):
    """The unit tests in OV_TEST_JOBS (default 3) processes, each a shard of the tests: most of
    them wait for sockets, threads and servers rather than compute."""
    binary = os.path.join(build, "ov_unit_tests")
    print("== unit tests" + (" (%s)" % gtest_filter if gtest_filter else ""), flush=True)
    started = time.time()
    shards = []
    for e in shard_environments(env, jobs()):
        report = tempfile.mktemp(prefix="ov-gtest-", suffix=".json")
        cmd = [binary, "--gtest_output=json:" + report, "--gtest_brief=1"]
        if gtest_filter:
            cmd.append("--gtest_filter=" + gtest_filter)
        out = tempfile.TemporaryFile()
        shards.append((subprocess.Popen(cmd, env=e, stdout=out, stderr=subprocess.STDOUT), out, report))
    passed = failed = skipped = 0
    for proc, out, report in shards:
        proc.wait()
        out.seek(0)
        sys.stdout.write(out.read().decode("utf-8", "replace"))
        out.close()
        shard_failed = 0
        try:
            with open(report) as f:
                data = json.load(f)
            for suite in data.get("testsuites", []):
                for case in suite.get("testsuite", []):
                    if case.get("failures"):
                        shard_failed += 1
                    elif case.get("result") == "SKIPPED" or case.get("status") == "NOTRUN":
                        skipped += 1
                    else:
                        passed += 1
            os.unlink(report)
        except (OSError, ValueError):
            shard_failed += 1
            print("unit test binary produced no report (crashed?)")
        if proc.returncode != 0 and shard_failed == 0:
            shard_failed += 1
            print("unit test binary exited with %d" % proc.returncode)
        failed += shard_failed
    print("== unit tests took %.0f s" % (time.time() - started), flush=True)
    return passed, failed, skipped


E2E_DIR = os.path.join(ROOT, "tests", "e2e")
COUNTS_MARK = "== e2e module counts: "


def e2e_modules(only):
    """The e2e modules to run, longest file first (a rough guide to how long each takes, so the
    long ones do not end up running alone at the end)."""
    names = sorted(f[:-3] for f in os.listdir(E2E_DIR) if f.startswith("test_") and f.endswith(".py"))
    if only:
        wanted = [m[:-3] if m.endswith(".py") else m for m in only]
        missing = [m for m in wanted if m not in names]
        if missing:
            raise SystemExit("no such e2e module: " + ", ".join(missing))
        names = wanted
    return sorted(names, key=lambda n: -os.path.getsize(os.path.join(E2E_DIR, n + ".py")))


def run_one_module(build, module):
    """Child mode: runs one e2e module and prints its counts on the last line."""
    os.environ["OV_BUILD_DIR"] = os.path.abspath(build)
    sys.path.insert(0, E2E_DIR)
    suite = unittest.defaultTestLoader.loadTestsFromName(module)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=1).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    sys.stdout.write(COUNTS_MARK + json.dumps([result.testsRun - failed - skipped, failed, skipped]) + "\n")
    return 0


def run_e2e(build, env, only=None):
    """Each module runs in a process of its own, OV_TEST_JOBS (default 3) at a time: every test
    starts its own server on free ports with its own database, so modules do not meet."""
    jobs_at_once = jobs()
    modules = e2e_modules(only)
    print("== end-to-end tests (%d modules, %d at a time)" % (len(modules), jobs_at_once), flush=True)
    child_env = dict(env, PYTHONUNBUFFERED="1")
    started = time.time()
    pending = list(modules)
    running = []  # (module, process, output file, start time)
    totals = [0, 0, 0]

    def finish(entry):
        module, proc, out, started = entry
        proc.wait()
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
        out.close()
        counts = None
        for line in text.splitlines():
            if line.startswith(COUNTS_MARK):
                counts = json.loads(line[len(COUNTS_MARK):])
        body = "\n".join(l for l in text.splitlines() if not l.startswith(COUNTS_MARK))
        print("-- %s (%.0f s)\n%s" % (module, time.time() - started, body), flush=True)
        if counts is None or (proc.returncode != 0 and counts[1] == 0):
            print("module %s ended with exit code %s before reporting" % (module, proc.returncode), flush=True)
            counts = [counts[0] if counts else 0, 1, counts[2] if counts else 0]
        for i in range(3):
            totals[i] += counts[i]

    while pending or running:
        while pending and len(running) < jobs_at_once:
            module = pending.pop(0)
            out = tempfile.TemporaryFile()
            proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--one-module", os.path.abspath(build), module],
                                    cwd=E2E_DIR, env=child_env, stdout=out, stderr=subprocess.STDOUT)
            running.append((module, proc, out, time.time()))
        done = [e for e in running if e[1].poll() is not None]
        if not done:
            time.sleep(0.1)
            continue
        for e in done:
            running.remove(e)
            finish(e)
    print("== end-to-end tests took %.0f s" % (time.time() - started), flush=True)
    return tuple(totals)


def main():
    args = sys.argv[1:]
    if len(args) == 3 and args[0] == "--one-module":
        return run_one_module(args[1], args[2])
    if not args:
        print("usage: run-tests <build-dir> [--unit-only] [--gtest-filter=F] [--e2e-modules=test_a,test_b]")
        return 2
    build = args[0]
    unit_only = "--unit-only" in args[1:]
    only = None
    gtest_filter = None
    for a in args[1:]:
        if a.startswith("--e2e-modules="):
            only = [m for m in a.split("=", 1)[1].split(",") if m]
        elif a.startswith("--gtest-filter="):
            gtest_filter = a.split("=", 1)[1]
    env = dict(os.environ)
    state, servers_ok = start_db_servers(env)
    try:
        totals = [0, 0, 0]
        if not servers_ok:
            print("FAILED: the test database servers did not start; their tests are skipped", flush=True)
            totals[1] += 1
        parts = [lambda: run_unit(build, env, gtest_filter)]
        if not unit_only:
            parts.append(lambda: run_e2e(build, env, only))
        for part in parts:
            p, f, s = part()
            totals[0] += p
            totals[1] += f
            totals[2] += s
    finally:
        stop_db_servers(state)
    line = "%d passed, %d failed" % (totals[0], totals[1])
    if totals[2]:
        line += ", %d skipped" % totals[2]
    print(line)
    return 1 if totals[1] else 0


if __name__ == "__main__":
    sys.exit(main())
