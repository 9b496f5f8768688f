#!/usr/bin/env bash
# The scan with deleted files' condition against the same scan without it, on the 200,000-file
# NTFS image of bench/ntfs_scan_bench.sh (built and cached there on first use).
#
# Usage: bench/condition_bench.sh [path/to/condition_bench]   (default: build/bench/condition_bench)
# Needs what bench/ntfs_scan_bench.sh --image-only needs to build the image.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
bench=${1:-$repo/build/bench/condition_bench}
cache=${BREVANT_BENCH_CACHE:-/var/tmp/brevant-bench}
image=$cache/ntfs_200k.img

[ -x "$bench" ] || { echo "benchmark not built: $bench (cmake -DBREVANT_BUILD_BENCH=ON, target condition_bench)" >&2; exit 2; }
[ -f "$image" ] || "$here/ntfs_scan_bench.sh" --image-only
"$bench" "$image" 1 "${BREVANT_BENCH_RUNS:-5}"
