#!/usr/bin/env bash
# Saving and reading back a results file: the scan result of the 200,000-file NTFS image of
# bench/ntfs_scan_bench.sh (built and cached there on first use), then a 1,000,000-file result
# made in memory. Prints time, file size and peak memory against the result's own.
#
# Usage: bench/results_file_bench.sh [path/to/results_file_bench]
#        (default: build/bench/results_file_bench; cmake -DBREVANT_BUILD_BENCH=ON)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
bench=${1:-$repo/build/bench/results_file_bench}
cache=${BREVANT_BENCH_CACHE:-/var/tmp/brevant-bench}
image=$cache/ntfs_200k.img

[ -x "$bench" ] || { echo "benchmark not built: $bench (cmake -DBREVANT_BUILD_BENCH=ON, target results_file_bench)" >&2; exit 2; }
[ -f "$image" ] || "$here/ntfs_scan_bench.sh" --image-only
echo "== the 200,000-file NTFS volume"
"$bench" "$image" 1
echo "== 1,000,000 files made in memory"
"$bench" --synthetic 1000000
