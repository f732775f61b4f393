#!/usr/bin/env bash
# Soak run: renders a long, slow pan over the test photo (default 5,000 frames
# of 320x240) and runs the whole pipeline on it, sampling the resident memory
# of the process every second from /proc/PID/status. Memory should grow only
# with the key frames kept (one frame image and its features each), not with
# the frames read.
#
# Usage: scripts/soak.sh [--build DIR] [--frames N] [--threshold PERCENT] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
frames=5000
threshold=95        # percent: a key frame about every 8 frame pixels of pan
keep=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --frames) frames="$2"; shift 2 ;;
    --threshold) threshold="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--build DIR] [--frames N] [--threshold PERCENT] [--keep]" >&2; exit 2 ;;
  esac
done

vmosaic="$build/driver/vmosaic"
render="$build/tools/vmosaic-render"
for tool in "$vmosaic" "$render"; do
  [[ -x "$tool" ]] || { echo "soak: $tool not built (make soak builds it)" >&2; exit 1; }
done
vmosaic=$(realpath "$vmosaic")

work=$(mktemp -d "${TMPDIR:-/tmp}/vmosaic_soak_XXXXXX")
if [[ $keep -eq 0 ]]; then trap 'rm -rf "$work"' EXIT; fi

# 320x240 frames at zoom 0.5 (each shows 640x480 photo pixels), panning
# diagonally across the 2560x1600 photo: 1700 x 600 photo pixels in all.
echo "soak: rendering $frames frames..." >&2
"$render" "$work/soak.mp4" lake_boats_2560x1600.jpg 320 240 "$frames" \
  400 500 2100 1100 0 0 0.5 0.5 0 25 >/dev/null

echo "soak: running vmosaic (threshold $threshold)..." >&2
samples="$work/rss.csv"
echo "seconds,rss_kb" > "$samples"
(cd "$work" && exec "$vmosaic" soak.mp4 "$threshold" 0 0 </dev/null >stdout.txt 2>stderr.txt) &
pid=$!
start=$(date +%s)
while kill -0 "$pid" 2>/dev/null; do
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
  [[ -n "$rss" ]] && echo "$(( $(date +%s) - start )),$rss" >> "$samples"
  sleep 1
done
status=0
wait "$pid" || status=$?
elapsed=$(( $(date +%s) - start ))

nodes=$(grep -o 'Number of nodes: [0-9]*' "$work/stdout.txt" | grep -o '[0-9]*$' || echo "?")
tree=$(grep -o 'Tree Construction: [0-9.]*' "$work/stdout.txt" | grep -o '[0-9.]*$' || echo "?")
echo "soak: exit status $status after ${elapsed} s; $frames frames, $nodes key frames," \
     "frame loop ${tree} s"
# RSS over the run: first sample, then at each tenth of the samples, and the peak.
awk -F, 'NR > 1 { t[n] = $1; r[n] = $2; if ($2 > peak) peak = $2; n++ }
  END {
    if (n == 0) { print "soak: no samples"; exit }
    printf "soak: RSS (MiB) by time:"
    for (k = 0; k <= 10; k++) { i = int((n - 1) * k / 10); printf " %ds:%.1f", t[i], r[i] / 1024 }
    printf "\nsoak: %d samples, peak %.1f MiB\n", n, peak / 1024
  }' "$samples"
if [[ $keep -eq 1 ]]; then echo "soak: samples and outputs kept in $work" >&2; fi
[[ $status -eq 0 && -s "$work/pano_Mean.png" ]] || { echo "soak: run failed" >&2; cat "$work/stderr.txt" >&2; exit 1; }
