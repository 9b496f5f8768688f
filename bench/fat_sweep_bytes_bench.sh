#!/usr/bin/env bash
# The bytes `brevant scan` reads from a FAT32 volume against the volume's size: the whole
# scan (geometry search, FATs, live directories, the sweep over every cluster no live file
# accounts for), counted from its read calls with strace. The volume is the 2 GiB image of
# fat_scan_bench.sh (20,500 files in 1,050 folders, about half full), built there once.
# Target: at most a quarter of the volume.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${BREVANT_BENCH_CACHE:-/var/tmp/brevant-bench}
IMG="$CACHE/fat32-2g.img"
mkdir -p "$CACHE"

for tool in strace python3; do
  command -v "$tool" >/dev/null || { echo "fat_sweep_bytes_bench: $tool is needed" >&2; exit 2; }
done

# The binary to measure: BREVANT, or the one scripts/setup builds.
BREVANT=${BREVANT:-$ROOT/build/brevant}
[ -x "$BREVANT" ] || { echo "fat_sweep_bytes_bench: no $BREVANT (run scripts/setup)" >&2; exit 2; }
if [ ! -f "$IMG" ]; then
  echo "building $IMG (once, with fat_scan_bench.sh)..." >&2
  BREVANT="$BREVANT" "$ROOT/bench/fat_scan_bench.sh" >/dev/null
fi

TRACE="$CACHE/fat_sweep.strace"
strace -f -qq -e trace=pread64,read -e signal=none -o "$TRACE" \
  "$BREVANT" scan "$IMG" --partition 1 --format json -q > "$CACHE/fat_sweep.json"

python3 - "$IMG" "$TRACE" "$CACHE/fat_sweep.json" <<'PY'
import json, os, re, sys
img, trace, scan = sys.argv[1:4]
size = os.path.getsize(img)
# Reads of the image: every pread64 (the program reads disks only by position).
done = re.compile(r"pread64\(.*\)\s+=\s+(\d+)$")
read_bytes = calls = 0
with open(trace) as f:
    for line in f:
        m = done.search(line.rstrip())
        if m:
            read_bytes += int(m.group(1))
            calls += 1
doc = json.load(open(scan))
live = sum(f["size"] for f in doc["files"] if not f["deleted"])
print("volume:            %d bytes (%s)" % (size, img))
print("live file data:    %d bytes (%.1f %% of the volume)" % (live, 100.0 * live / size))
print("scan reads:        %d bytes in %d reads" % (read_bytes, calls))
print("read / volume:     %.3f (target <= 0.250)" % (read_bytes / size))
PY
