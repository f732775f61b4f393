#!/usr/bin/env bash
# What --refine costs at the default overlap (100: every frame a key frame):
# the sample video and a 3,000-frame 640x480 pan (skipped with
# BENCH_SET=quick), each run with and without the option. Prints one table
# (markdown): key frames and pairs, processor time (user + system) of both
# runs, the refinement stage's own processor time (as the program reports it
# on standard error) and its share of the refined run's (processor time,
# unlike wall time, hardly depends on what else the machine runs; the share
# by difference of the two runs is given too, but a busy machine slows the
# two runs unequally), the stage's wall seconds and share, and the peak
# resident memory of both runs. The load
# average at the start goes to standard error.
#
#   BUILD_DIR=build-bench BENCH_SET=full|quick|long bench/refine_cost.sh
#
# BENCH_SET=long runs the 3,000-frame pan only.
#
# VMOSAIC may name another vmosaic binary; the 3,000-frame video is cached in
# BENCH_CACHE (as bench/e2e.sh caches it).
set -euo pipefail

source "$(dirname "$0")/bench_common.sh"
BENCH_SET=${BENCH_SET:-full}

require_tools refine_cost.sh "$VMOSAIC" "$RENDER"
VMOSAIC=$(realpath "$VMOSAIC")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vmosaic-refine-cost-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

VIDEOS="sample $ROOT/data/sample.mp4"
if [ "$BENCH_SET" != quick ]; then
  mkdir -p "$BENCH_CACHE"
  long=$BENCH_CACHE/pan640x3000.mp4
  [ -s "$long" ] || "$RENDER" "$long" 640 480 3000 pan >&2
  if [ "$BENCH_SET" = long ]; then VIDEOS="pan640x3000 $long"; else VIDEOS+=$'\n'"pan640x3000 $long"; fi
fi

# Runs vmosaic on $2 in a new folder under $WORK named $1, the other
# arguments being options; the folder holds time.txt, out.txt and err.txt.
run() {
  local dir=$WORK/$1 video=$2
  shift 2
  mkdir -p "$dir"
  (cd "$dir" && /usr/bin/time -f "%U %S %M" -o time.txt "$VMOSAIC" "$@" "$video" \
     > out.txt 2> err.txt < /dev/null)
}

echo "refine_cost.sh: load average at start: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
echo "| video (overlap 100) | key frames | pairs | CPU s without | CPU s with --refine | refine CPU s | refine % of CPU | the same by difference | refine s (wall) | refine % of wall | peak RSS MB without / with |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
while read -r name video; do
  run "$name-plain" "$video"
  run "$name-refine" "$video" --refine
  plain=$WORK/$name-plain
  refined=$WORK/$name-refine
  keys=$(sed -n 's/.*Number of nodes: \([0-9]*\).*/\1/p' "$refined/out.txt")
  pairs=$(sed -n 's/^refine: \([0-9]*\) pairs tried.*/\1/p' "$refined/err.txt")
  tree=$(sed -n 's/.*Time processing AVL Binary Tree Construction: \([0-9.]*\).*/\1/p' "$refined/out.txt")
  comp=$(sed -n 's/.*Time processing CalculateCenteredPanorama: \([0-9.]*\).*/\1/p' "$refined/out.txt")
  refine=$(sed -n 's/^Time processing refinement: \([0-9.]*\).*/\1/p' "$refined/err.txt")
  refine_cpu=$(sed -n 's/^Time processing refinement: .* (\([0-9.]*\) s of processor time).*/\1/p' \
    "$refined/err.txt")
  read -r pu ps pm < "$plain/time.txt"
  read -r ru rs rm < "$refined/time.txt"
  awk -v name="$name" -v k="$keys" -v p="${pairs:-0}" -v pc="$(awk "BEGIN { print $pu + $ps }")" \
      -v rc="$(awk "BEGIN { print $ru + $rs }")" -v tree="$tree" -v c="$comp" -v r="${refine:-0}" \
      -v rcpu="${refine_cpu:-0}" -v pm="$pm" -v rm="$rm" 'BEGIN {
    printf "| %s | %d | %d | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f | %.1f | %.0f / %.0f |\n", name, k,
      p, pc, rc, rcpu, 100 * rcpu / rc, 100 * (rc - pc) / rc, r, 100 * r / (tree + c + r),
      pm / 1024, rm / 1024 }'
done <<< "$VIDEOS"
