#!/usr/bin/env bash
# Times `brevant recover` of the 200,000-file NTFS benchmark image against `tsk_recover -e` of
# the same image, both into tmpfs (so the destination's file system does not decide), and
# counts the system calls each makes per recovered file. Reports the best wall time of each
# over the runs, its CPU time (user + system: what the work costs, whatever else the machine
# runs meanwhile) and the load average, since brevant writes with two threads and a busy
# machine leaves it less than two cores.
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

# "wall cpu" seconds of one run into a fresh destination.
timed() {
  local to=$1; shift
  rm -rf "$to"
  local log
  log=$(mktemp)
  /usr/bin/time -f "%e %U %S" "$@" >/dev/null 2>"$log" || { echo "failed: $*" >&2; tail -5 "$log" >&2; exit 1; }
  tail -1 "$log" | awk '{ printf "%.2f %.2f\n", $1, $2 + $3 }'
  rm -f "$log"
}

# Keeps in the variable named $1 the run ("wall cpu") with the better wall time.
keep_best() {
  local -n kept=$1
  if [ -z "$kept" ] || awk -v a="${2%% *}" -v b="${kept%% *}" 'BEGIN { exit !(a < b) }'; then
    kept=$2
  fi
}

cat "$image" >/dev/null  # both tools read from the page cache

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
# The two take turns, so that both meet the same load from whatever else the machine runs;
# each pair gives a ratio, and the median of those is reported beside the best times.
brevant_s="" tsk_s="" pairs=""
for _ in $(seq "$runs"); do
  b=$(timed "$work/b" "$brevant" recover "$image" --partition 1 --to "$work/b" -q)
  t=$(timed "$work/t" tsk_recover -e "$image" "$work/t")
  keep_best brevant_s "$b"
  keep_best tsk_s "$t"
  pairs="$pairs $b $t"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
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

python3 - "$brevant_s" "$tsk_s" "$brevant_files" "$tsk_files" "$brevant_calls" "$tsk_calls" \
  "$(nproc)" "$load_before" "$load_after" "$runs" "$pairs" <<'EOF'
import statistics
import sys
(b, bc_), (t, tc_) = map(float, sys.argv[1].split()), map(float, sys.argv[2].split())
bf, tf, bc, tc = map(int, sys.argv[3:7])
cores, before, after, runs = sys.argv[7], sys.argv[8], sys.argv[9], sys.argv[10]
print("conditions                  : %s cores, load average %s before, %s after, best of %s"
      % (cores, before, after, runs))
print("tsk_recover -e              : %.2f s wall, %.2f s CPU, %d files, %.1f system calls per file"
      % (t, tc_, tf, tc / max(tf, 1)))
print("brevant recover             : %.2f s wall, %.2f s CPU, %d files, %.1f system calls per file"
      % (b, bc_, bf, bc / max(bf, 1)))
print("recover / tsk_recover time  : %.2f  (target <= 0.50)  %s" % (b / t, "ok" if b <= t / 2 else "MISSED"))
print("recover / tsk_recover CPU   : %.2f" % (bc_ / tc_))
p = list(map(float, sys.argv[11].split()))
walls = [p[i] / p[i + 2] for i in range(0, len(p), 4)]
cpus = [p[i + 1] / p[i + 3] for i in range(0, len(p), 4)]
print("median of the runs' ratios  : %.2f time, %.2f CPU  (each run: %s)"
      % (statistics.median(walls), statistics.median(cpus),
         " ".join("%.2f" % w for w in walls)))
EOF
