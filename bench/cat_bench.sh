#!/usr/bin/env bash
# Throughput of `brevant cat` of a 1 GiB file, stored contiguously and in about 1,000
# fragments, against `cat` of the image that holds it, both from the page cache, into a tmpfs
# file and into /dev/null.
#
# The image (FAT32, 4 KiB clusters, made with mkfs.fat and mtools) is built once and cached in
# ${BREVANT_BENCH_CACHE:-/var/tmp/brevant-bench}: /contig.bin is written first into the empty
# volume; then 2,000 files of 263 clusters, every other one deleted again; then, with the
# FSInfo hint pointing at the volume's start, /frag.bin fills the 1,000 gaps one after another.
#
# Usage: bench/cat_bench.sh [path/to/brevant]     (default: $BREVANT or build/brevant)
# Needs: mkfs.fat, mcopy, mdel, istat and fls (The Sleuth Kit), python3, a tmpfs (/dev/shm).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
brevant=${1:-${BREVANT:-$repo/build/brevant}}
cache=${BREVANT_BENCH_CACHE:-/var/tmp/brevant-bench}
image=$cache/cat_1g.img
tmpfs=${BREVANT_BENCH_TMPFS:-/dev/shm}
runs=${BREVANT_BENCH_RUNS:-3}
export MTOOLS_SKIP_CHECK=1

for tool in mkfs.fat mcopy mmd mdel istat fls python3; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done
[ -x "$brevant" ] || { echo "brevant binary not found: $brevant" >&2; exit 2; }

gib=$((1 << 30))
gap_bytes=$((263 * 4096))  # 1,000 gaps hold 1 GiB

build_image() {
  mkdir -p "$cache"
  local tmp=$image.building src
  src=$(mktemp -d "$cache/src.XXXXXX")
  rm -f "$tmp"
  mkfs.fat -F 32 -s 8 -C "$tmp" $(( (gib + 2000 * gap_bytes) / 1024 + 65536 )) >/dev/null
  head -c "$gib" /dev/urandom >"$src/contig.bin"
  mcopy -i "$tmp" "$src/contig.bin" ::/contig.bin
  head -c "$gap_bytes" /dev/urandom >"$src/filler"
  mkdir "$src/fill"
  for i in $(seq -w 0 1999); do ln "$src/filler" "$src/fill/f$i"; done
  mmd -i "$tmp" ::/fill
  mcopy -i "$tmp" "$src"/fill/* ::/fill/
  mdel -i "$tmp" $(for i in $(seq -w 0 2 1999); do echo "::/fill/f$i"; done)
  # FSInfo's next-free hint (sector 1, offset 0x1EC) back at the first data cluster.
  printf '\x02\x00\x00\x00' | dd of="$tmp" bs=1 seek=$((512 + 0x1EC)) conv=notrunc status=none
  head -c "$gib" /dev/urandom >"$src/frag.bin"
  mcopy -i "$tmp" "$src/frag.bin" ::/frag.bin
  rm -rf "$src"
  mv "$tmp" "$image"
}

[ -f "$image" ] || build_image

# Entry numbers and fragment counts, as brevant and The Sleuth Kit see them.
read -r contig_entry frag_entry < <("$brevant" scan "$image" --partition 1 --format json -q |
  python3 -c '
import json, sys
files = {f["path"]: f["entry"] for f in json.load(sys.stdin)["files"]}
print(files["/contig.bin"], files["/frag.bin"])')
fragments() {
  local inode
  inode=$(fls "$image" | awk -v n="$1" '$NF == n { sub(":", "", $2); print $2 }')
  istat "$image" "$inode" | awk 'f { for (i = 1; i <= NF; i++) print $i } /^Sectors:/ { f = 1 }' |
    awk 'NR == 1 { p = $1; n = 1; next } { if ($1 != p + 1) n++; p = $1 } END { print n }'
}
contig_frags=$(fragments contig.bin)
frag_frags=$(fragments frag.bin)

work=$(mktemp -d "$tmpfs/brevant-cat-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cat "$image" >/dev/null

# Best wall seconds of `runs` runs of a command writing to $1.
best() {
  local out=$1; shift
  local best_s="" s
  for _ in $(seq "$runs"); do
    rm -f "$work/out"
    s=$( { /usr/bin/time -f %e "$@" >"$out"; } 2>&1 | tail -1)
    if [ -z "$best_s" ] || awk -v a="$s" -v b="$best_s" 'BEGIN { exit !(a < b) }'; then best_s=$s; fi
  done
  echo "$best_s"
}

image_bytes=$(stat -c %s "$image")
results=()
for sink in "$work/out" /dev/null; do
  cat_s=$(best "$sink" cat "$image")
  contig_s=$(best "$sink" "$brevant" cat "$image" --partition 1 --entry "$contig_entry")
  frag_s=$(best "$sink" "$brevant" cat "$image" --partition 1 --entry "$frag_entry")
  results+=("$sink $cat_s $contig_s $frag_s")
done

python3 - "$image_bytes" "$gib" "$contig_frags" "$frag_frags" "${results[@]}" <<'EOF'
import sys
image_bytes, file_bytes, cf, ff = map(int, sys.argv[1:5])
mib = 1 << 20
print("image %.0f MiB; contig.bin in %d fragment(s), frag.bin in %d fragments" % (image_bytes / mib, cf, ff))
for line in sys.argv[5:]:
    sink, cat_s, contig_s, frag_s = line.split()
    cat_s, contig_s, frag_s = float(cat_s), float(contig_s), float(frag_s)
    sink = "tmpfs file" if sink != "/dev/null" else sink
    cat_t = image_bytes / cat_s / mib
    for name, s in (("contiguous", contig_s), ("1,000 fragments", frag_s)):
        t = file_bytes / s / mib
        print("into %-10s: cat of the image %6.0f MiB/s, brevant cat %-15s %6.0f MiB/s, ratio %.2f  (target >= 0.80)  %s"
              % (sink, cat_t, name, t, t / cat_t, "ok" if t >= 0.8 * cat_t else "MISSED"))
EOF
