#!/usr/bin/env bash
# Times `brevant recover` of the 200,000-file NTFS benchmark image against `tsk_recover -e` of
# the same image, both into tmpfs (so the destination's file system does not decide), and
# counts the system calls each makes per recovered file.
#
# The image is the one bench/ntfs_scan_bench.sh builds and caches (it builds it when missing).
#
# Usage: bench/recover_bench.sh [path/to/brevant]     (default: $BREVANT or build/brevant)
# Needs: tsk_recover, strace, /usr/bin/time, a tmpfs (/dev/shm, or $BREVANT_BENCH_TMPFS).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
brevant=${1:-${BREVANT:-$repo/build/brevant}}
cache=${BREVANT_BENCH_CACHE:-/var/tmp/brevant-bench}
image=$cache/ntfs_200k.img
tmpfs=${BREVANT_BENCH_TMPFS:-/dev/shm}
runs=${BREVANT_BENCH_RUNS:-3}

for tool in tsk_recover strace /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done
[ -x "$brevant" ] || { echo "brevant binary not found: $brevant" >&2; exit 2; }
[ "$(stat -f -c %T "$tmpfs")" = tmpfs ] || { echo "$tmpfs is not a tmpfs" >&2; exit 2; }
[ -f "$image" ] || "$here/ntfs_scan_bench.sh" --image-only

work=$(mktemp -d "$tmpfs/brevant-recover-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Wall seconds of one run into a fresh destination.
timed() {
  local to=$1; shift
  rm -rf "$to"
  local log
  log=$(mktemp)
  /usr/bin/time -f %e "$@" >/dev/null 2>"$log" || { echo "failed: $*" >&2; tail -5 "$log" >&2; exit 1; }
  tail -1 "$log"
  rm -f "$log"
}

best() {
  local to=$1; shift
  local best_s="" s
  for _ in $(seq "$runs"); do
    s=$(timed "$to" "$@")
    if [ -z "$best_s" ] || awk -v a="$s" -v b="$best_s" 'BEGIN { exit !(a < b) }'; then best_s=$s; fi
  done
  echo "$best_s"
}

cat "$image" >/dev/null  # both tools read from the page cache

brevant_s=$(best "$work/b" "$brevant" recover "$image" --partition 1 --to "$work/b" -q)
tsk_s=$(best "$work/t" tsk_recover -e "$image" "$work/t")
brevant_files=$(find "$work/b" -type f | wc -l)
tsk_files=$(find "$work/t" -type f | wc -l)

# System calls, counted once each (strace slows both alike; only the counts are used).
count_calls() {
  local to=$1; shift
  rm -rf "$to"
  strace -f -c -o "$work/strace.txt" "$@" >/dev/null 2>&1
  # The line after the second rule is the total: % time, seconds, usecs/call, calls, ...
  awk '/^------/ { n++; next } n == 2 { print $4; exit }' "$work/strace.txt"
}
brevant_calls=$(count_calls "$work/b" "$brevant" recover "$image" --partition 1 --to "$work/b" -q)
tsk_calls=$(count_calls "$work/t" tsk_recover -e "$image" "$work/t")

python3 - "$brevant_s" "$tsk_s" "$brevant_files" "$tsk_files" "$brevant_calls" "$tsk_calls" <<'EOF'
import sys
b, t = float(sys.argv[1]), float(sys.argv[2])
bf, tf, bc, tc = map(int, sys.argv[3:])
print("tsk_recover -e              : %.2f s, %d files, %.1f system calls per file" % (t, tf, tc / max(tf, 1)))
print("brevant recover             : %.2f s, %d files, %.1f system calls per file" % (b, bf, bc / max(bf, 1)))
print("recover / tsk_recover time  : %.2f  (target <= 0.50)  %s" % (b / t, "ok" if b <= t / 2 else "MISSED"))
EOF
