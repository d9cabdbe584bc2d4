#!/usr/bin/env python3
"""Test driver: unit tests (GoogleTest), then end-to-end tests (python unittest).

Starts the PostgreSQL and MariaDB test servers first when scripts/test-db-servers exists, so
database tests run against all three backends, and stops them at the end.  Prints one summary
line "N passed, N failed, N skipped" and exits non-zero when anything failed.
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_db_servers(env):
    script = os.path.join(ROOT, "scripts", "test-db-servers")
    if not os.path.exists(script) or os.environ.get("OV_TEST_NO_DB_SERVERS"):
        return None
    state = tempfile.mkdtemp(prefix="ov-dbsrv-")
    out = subprocess.run([script, "start", state], capture_output=True, text=True, timeout=240)
    if out.returncode != 0:
        sys.stderr.write(out.stdout + out.stderr)
        sys.stderr.write("test database servers did not start\n")
        return state
    for line in out.stdout.splitlines():
        if "=" in line and line.startswith("OV_TEST_"):
            k, v = line.split("=", 1)
            env[k] = v
    return state


def stop_db_servers(state):
    if not state:
        return
    script = os.path.join(ROOT, "scripts", "test-db-servers")
    subprocess.run([script, "stop", state], capture_output=True, timeout=120)


def run_unit(build, env):
    binary = os.path.join(build, "ov_unit_tests")
    report = tempfile.mktemp(prefix="ov-gtest-", suffix=".json")
    print("== unit tests", flush=True)
    proc = subprocess.run([binary, "--gtest_output=json:" + report, "--gtest_brief=1"], env=env)
    passed = failed = skipped = 0
    try:
        with open(report) as f:
            data = json.load(f)
        for suite in data.get("testsuites", []):
            for case in suite.get("testsuite", []):
                if case.get("failures"):
                    failed += 1
                elif case.get("result") == "SKIPPED" or case.get("status") == "NOTRUN":
                    skipped += 1
                else:
                    passed += 1
        os.unlink(report)
    except (OSError, ValueError):
        failed += 1
        print("unit test binary produced no report (crashed?)")
    if proc.returncode != 0 and failed == 0:
        failed += 1
        print("unit test binary exited with %d" % proc.returncode)
    return passed, failed, skipped


class CountingResult(unittest.TextTestResult):
    pass


def run_e2e(build, env):
    print("== end-to-end tests", flush=True)
    os.environ.update(env)
    os.environ["OV_BUILD_DIR"] = os.path.abspath(build)
    sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
    suite = unittest.defaultTestLoader.discover(os.path.join(ROOT, "tests", "e2e"), pattern="test_*.py",
                                                top_level_dir=os.path.join(ROOT, "tests", "e2e"))
    runner = unittest.TextTestRunner(verbosity=1, resultclass=CountingResult)
    result = runner.run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    return passed, failed, skipped


def main():
    if len(sys.argv) < 2:
        print("usage: run-tests <build-dir> [--unit-only]")
        return 2
    build = sys.argv[1]
    unit_only = "--unit-only" in sys.argv[2:]
    env = dict(os.environ)
    state = start_db_servers(env)
    try:
        totals = [0, 0, 0]
        for part in (run_unit,) if unit_only else (run_unit, run_e2e):
            p, f, s = part(build, env)
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
