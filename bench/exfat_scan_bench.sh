#!/usr/bin/env bash
# Times `brevant scan` of an exFAT image holding 100,000 files in 1,010 folders against
# `fls -r` of the same image (warm cache, best of three runs each).
#
# The image (1 GiB, 4 KiB clusters) is built once with mkfs.exfat and an exfat-fuse mount
# (root, /dev/fuse and a loop device needed), some folders deleted again, and kept in
# BREVANT_BENCH_CACHE (default /var/tmp/brevant-bench). BREVANT names the binary to time;
# without it the script builds one (Release) in BREVANT_BENCH_BUILD (default
# BREVANT_BENCH_CACHE/build).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${BREVANT_BENCH_CACHE:-/var/tmp/brevant-bench}
IMG="$CACHE/exfat-100k.img"
mkdir -p "$CACHE"

for tool in mkfs.exfat mount.exfat-fuse losetup fls python3; do
  command -v "$tool" >/dev/null || { echo "exfat_scan_bench: $tool is needed" >&2; exit 2; }
done

if [ -z "${BREVANT:-}" ]; then
  BUILD=${BREVANT_BENCH_BUILD:-$CACHE/build}
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREVANT_BUILD_TESTS=OFF \
    -DBREVANT_BUILD_GUI=OFF -DBREVANT_BUILD_BENCH=OFF >/dev/null
  ninja -C "$BUILD" brevant >/dev/null
  BREVANT="$BUILD/brevant"
fi

if [ ! -f "$IMG" ]; then
  [ "$(id -u)" = 0 ] || { echo "exfat_scan_bench: building the image needs root" >&2; exit 2; }
  echo "building $IMG (once)..." >&2
  MNT=$(mktemp -d "$CACHE/mnt.XXXXXX")
  truncate -s 1G "$IMG.part"
  LOOP=$(losetup -f --show "$IMG.part")
  cleanup() {
    mountpoint -q "$MNT" && umount "$MNT"
    losetup -d "$LOOP" 2>/dev/null || true
    rmdir "$MNT" 2>/dev/null || true
  }
  trap cleanup EXIT
  mkfs.exfat -c 4096 "$LOOP" >/dev/null
  mount.exfat-fuse "$LOOP" "$MNT" 2>/dev/null
  # 50 folders of 20 subfolders (1,050 folders), 95 files in each subfolder and 100 in each
  # top folder (100,000 files), long names, sizes from 0 to 8 KiB.
  python3 - "$MNT" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(2026)
blob = os.urandom(1 << 16)
def write(path, size):
    with open(path, "wb") as f:
        off = rng.randrange(0, len(blob) - size)
        f.write(blob[off:off + size])
for t in range(50):
    top = os.path.join(root, "Project folder %02d" % t)
    os.mkdir(top)
    for i in range(100):
        write(os.path.join(top, "Overview %03d.txt" % i), rng.randrange(0, 8192))
    for s in range(20):
        sub = os.path.join(top, "Subfolder number %02d" % s)
        os.mkdir(sub)
        for i in range(95):
            write(os.path.join(sub, "Document %02d of %02d-%02d.dat" % (i, t, s)), rng.randrange(0, 8192))
PY
  # Some deleted folders for the scan to find.
  for t in 03 17 41; do rm -r "$MNT/Project folder $t/Subfolder number 07"; done
  sync
  umount "$MNT"
  losetup -d "$LOOP"
  trap - EXIT
  rmdir "$MNT"
  mv "$IMG.part" "$IMG"
fi

cat "$IMG" >/dev/null  # warm the cache

best() {
  local best=""
  for _ in 1 2 3; do
    local s e
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    e=$(date +%s.%N)
    best=$(python3 -c "print(min(float('${best:-1e9}'), $e - $s))")
  done
  printf "%.2f" "$best"
}

files=$("$BREVANT" scan "$IMG" --partition 1 -q --format json 2>/dev/null |
  python3 -c "import json,sys; s=json.load(sys.stdin)['summary']; print(s['liveFiles'], s['deletedFiles'])")
tsk=$(fls -f exfat -r "$IMG" | grep "r/r" | grep -vc "	\$")
ours=$(best "$BREVANT" scan "$IMG" --partition 1 -q --format json)
theirs=$(best fls -f exfat -r "$IMG")
echo "exFAT image: $IMG (1 GiB, 4 KiB clusters)"
echo "files (live deleted) by brevant: $files; file entries by fls -r: $tsk"
echo "brevant scan: ${ours} s   fls -r: ${theirs} s"
