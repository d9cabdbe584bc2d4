#!/usr/bin/env bash
# ZIP extraction of a plug-in package: the archive helper (libzip in-process, with its entry
# checks and caps) against `unzip -q`, on the same 64 MiB package of 2,000 files in the same
# run.  Prints the median of RUNS runs of each and the ratio (target: within 1.5x of unzip).
#   RUNS=5 bench/archive.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-${OV_BUILD_DIR:-build}}
RUNS=${RUNS:-5}
command -v unzip >/dev/null || { echo "unzip is missing (scripts/install-deps)"; exit 1; }
cmake --build "$BUILD" --target bench_archive_extract >/dev/null

work=$(mktemp -d /tmp/ov-bench-archive-XXXXXX)
trap 'rm -rf "$work"' EXIT

# 2,000 files of 32.8 KiB (64 MiB in all) in 20 directories: half random bytes (stored almost as they are),
# half text (deflated), as a package of libraries and web files would be.
python3 - "$work/package.ovp" <<'PY'
import os, random, sys, zipfile
rng = random.Random(1)
words = [b"plugin", b"orvanta", b"function", b"return", b"local", b"end", b"table", b"string"]
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for i in range(2000):
        if i % 2:
            data = os.urandom(33554)
        else:
            data = b" ".join(rng.choice(words) for _ in range(6000))[:33554]
        z.writestr("dir%02d/file%04d.bin" % (i % 20, i), data)
PY
size=$(du -m "$work/package.ovp" | cut -f1)
echo "package: 2000 files, 64 MiB uncompressed, $size MiB compressed"

median() { sort -n | awk '{a[NR]=$1} END {m=int((NR+1)/2); print a[m]}'; }

ours=$("$BUILD/bench_archive_extract" "$work/package.ovp" "$work" "$RUNS" | median)
theirs=$(for _ in $(seq "$RUNS"); do
  rm -rf "$work/unzip"
  s=$(date +%s%N)
  unzip -q "$work/package.ovp" -d "$work/unzip"
  e=$(date +%s%N)
  awk -v s="$s" -v e="$e" 'BEGIN {printf "%.1f\n", (e - s) / 1e6}'
done | median)

printf 'archive helper: %8.1f ms (median of %d)\n' "$ours" "$RUNS"
printf 'unzip -q:       %8.1f ms (median of %d)\n' "$theirs" "$RUNS"
awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "ratio:          %8.2fx unzip\n", a / b}'
