#!/usr/bin/env bash
# Times the window on the 200,000-file NTFS image of bench/ntfs_scan_bench.sh (built once and
# cached by that script): the result tree shown after the run, and the largest folder listed.
#
# Usage: bench/gui_window_bench.sh [path/to/gui_window_bench]   (default: build/bench/gui_window_bench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
bench=${1:-$repo/build/bench/gui_window_bench}
cache=${BREVANT_BENCH_CACHE:-/var/tmp/brevant-bench}
image=$cache/ntfs_200k.img
[ -x "$bench" ] || { echo "benchmark not built: ninja -C build gui_window_bench" >&2; exit 2; }
[ -f "$image" ] || "$here/ntfs_scan_bench.sh" --image-only
cat "$image" >/dev/null  # warm the page cache
QT_QPA_PLATFORM=offscreen "$bench" "$image" 1 2> >(grep -v propagateSizeHints >&2)
