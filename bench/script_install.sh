#!/usr/bin/env bash
# Script package install through REST against `unzip -q`, on the same package of 1,000 small
# files in the same run (hyperfine).  The server's install is the whole request: upload of the
# raw body, the archive helper's checks and extraction into a temporary directory, the
# manifest, the move into the scripts directory and the row.  Each run of it installs into a
# scripts directory the package was just uninstalled from; each run of unzip extracts into a
# fresh directory.  Prints both mean times and the ratio (target: within 2x of unzip).
#   RUNS=20 bench/script_install.sh [build-dir]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-${OV_BUILD_DIR:-$ROOT/build}}"
RUNS="${RUNS:-20}"
SERVER="$BUILD/orvantaserver"
command -v hyperfine >/dev/null || { echo "hyperfine is missing (OV_BENCH_DEPS=1 scripts/install-deps)"; exit 1; }
command -v unzip >/dev/null || { echo "unzip is missing (scripts/install-deps)"; exit 1; }
. "$ROOT/bench/ov_server.sh"
[ -x "$SERVER" ] || cmake --build "$BUILD" --target orvantaserver >/dev/null

WORK="$(mktemp -d /tmp/ov-bench-scripts-XXXXXX)"
OV_PID=""
cleanup() {
  [ -n "$OV_PID" ] && kill "$OV_PID" 2>/dev/null && wait "$OV_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# 1,000 Lua files of about 1 KiB in 10 directories, and the manifest.
python3 - "$WORK/package.zip" <<'PY'
import json, random, sys, zipfile
rng = random.Random(1)
words = ["local", "function", "end", "return", "if", "then", "print", "door", "user", "screen"]
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("package.json", json.dumps({"name": "bench", "version": "1.0.0", "type": "menu",
                                           "entry": "lib0/file0000.lua"}))
    for i in range(1000):
        text = " ".join(rng.choice(words) for _ in range(180))[:1024]
        z.writestr("lib%d/file%04d.lua" % (i % 10, i), text)
PY
echo "package: 1,000 files of 1 KiB in 10 directories, $(du -k "$WORK/package.zip" | cut -f1) KiB compressed"

PORT="$(free_port)"
mkdir -p "$WORK/tmp"
write_ov_ini "$WORK/ov" "$PORT" "$(printf '[plugins]\nenabled=0\n[websocket]\nenabled=0')"
# The server's temporary directory on the same file system as its scripts directory, as on a
# usual installation.
TMPDIR="$WORK/tmp" "$SERVER" --run --config="$WORK/ov/orvanta.ini" > "$WORK/ov.log" 2>&1 &
OV_PID=$!
for _ in $(seq 1 100); do
  curl -s -o /dev/null "http://127.0.0.1:$PORT/health" && break
  sleep 0.1
done
URL="http://127.0.0.1:$PORT/api/v1"
TOKEN="$(curl -sf -X POST "$URL/setup" -H 'Content-Type: application/json' \
  -d '{"username":"sysop","password":"secret1"}' | python3 -c 'import json,sys; print(json.load(sys.stdin)["data"]["token"])')"
AUTH="Authorization: Bearer $TOKEN"

hyperfine --runs "$RUNS" --warmup 2 --export-json "$WORK/result.json" \
  --prepare "curl -s -o /dev/null -X DELETE -H '$AUTH' $URL/scripts/bench" \
  -n "REST install" "curl -sf -o /dev/null -X POST -H '$AUTH' -H 'Content-Type: application/zip' --data-binary @$WORK/package.zip $URL/scripts/install" \
  --prepare "rm -rf $WORK/unzipped" \
  -n "unzip -q" "unzip -q $WORK/package.zip -d $WORK/unzipped" >/dev/null

[ "$(find "$WORK/ov/scripts/menus/bench" -type f | wc -l)" -eq 1001 ] || { echo "the package was not installed"; exit 1; }
python3 - "$WORK/result.json" "$RUNS" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
ours, theirs = r["REST install"]["mean"] * 1000, r["unzip -q"]["mean"] * 1000
print("REST install: %8.1f ms (mean of %s, +- %.1f)" % (ours, sys.argv[2], r["REST install"]["stddev"] * 1000))
print("unzip -q:     %8.1f ms (mean of %s, +- %.1f)" % (theirs, sys.argv[2], r["unzip -q"]["stddev"] * 1000))
print("ratio:        %8.2fx unzip (target: within 2x)" % (ours / theirs))
PY
