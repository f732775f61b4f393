#!/usr/bin/env bash
# Peak resident memory of a long run in which every frame is a key frame:
# a FRAMES-frame (default 3,000) 640x480 pan over the test photo
# (vmosaic-bench-render), the default overlap (100), mean and median. The
# resident set is sampled every 5 s from /proc and its peak taken from
# /usr/bin/time; the mosaics' SHA-256 let two builds be compared byte for byte.
#
#   BUILD_DIR=build-bench bench/memory.sh [OPTION...]
#
# OPTIONs go to vmosaic before the video, e.g. --memory-budget 256. VMOSAIC
# may name another vmosaic binary (to measure the tree before a change); the
# video is cached in BENCH_CACHE. A 3,000-frame run takes tens of minutes on
# 2 cores.
set -euo pipefail

source "$(dirname "$0")/bench_common.sh"
FRAMES=${FRAMES:-3000}

require_tools memory.sh "$VMOSAIC" "$RENDER"
VMOSAIC=$(realpath "$VMOSAIC")
mkdir -p "$BENCH_CACHE"
video=$BENCH_CACHE/pan640_$FRAMES.mp4
[ -s "$video" ] || "$RENDER" "$video" 640 480 "$FRAMES" pan >&2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vmosaic-memory-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

(cd "$WORK" && exec /usr/bin/time -v -o time.txt "$VMOSAIC" "$@" "$video" 100 0 1 \
   > out.txt 2> err.txt < /dev/null) &
runner=$!  # /usr/bin/time itself (exec); vmosaic is its child
sleep 1
pid=$(pgrep -P "$runner" || true)
start=$(date +%s)
while kill -0 "$pid" 2>/dev/null; do
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
  [ -n "$rss" ] && echo "$(( $(date +%s) - start )),$rss" >> "$WORK/rss.csv"
  sleep 5
done
status=0
wait "$runner" || status=$?
[ "$status" -eq 0 ] || { echo "memory.sh: run failed ($status)" >&2; cat "$WORK/err.txt" >&2; exit 1; }

nodes=$(sed -n 's/.*Number of nodes: *\([0-9]*\).*/\1/p' "$WORK/out.txt")
tree=$(sed -n 's/.*Tree Construction: \([0-9.]*\).*/\1/p' "$WORK/out.txt")
comp=$(sed -n 's/.*CalculateCenteredPanorama: \([0-9.]*\).*/\1/p' "$WORK/out.txt")
peak=$(sed -n 's/.*Maximum resident set size (kbytes): \([0-9]*\).*/\1/p' "$WORK/time.txt")
echo "memory.sh: $FRAMES frames, $nodes key frames, options '$*':" \
     "peak RSS $((peak / 1024)) MiB, frame loop ${tree} s, composition ${comp} s"
awk -F, '{ t[n] = $1; r[n] = $2; n++ }
  END { if (n == 0) exit
        printf "memory.sh: RSS (MiB) by time:"
        for (k = 0; k <= 10; k++) { i = int((n - 1) * k / 10); printf " %ds:%.0f", t[i], r[i] / 1024 }
        printf "\n" }' "$WORK/rss.csv"
(cd "$WORK" && sha256sum pano_Mean.png pano_Median.png)
