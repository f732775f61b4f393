#!/usr/bin/env bash
# What --keep-going costs on clean footage: a rendered 640x480 pan run with
# and without the option, alternately, ROUNDS times each (default 3); prints
# the least processor time (user + system) of each and its ratio (processor
# time, unlike wall time, hardly depends on what else the machine runs), the
# fastest tree-construction wall time of each (from the --json report), and
# whether the mosaics are the same bytes.
#
#   BUILD_DIR=build bench/keep_going_cost.sh [ROUNDS]
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-build-bench}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
VMOSAIC=$BUILD_DIR/driver/vmosaic
RENDER=$BUILD_DIR/tools/vmosaic-render
ROUNDS=${1:-3}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vmosaic-keep-going-cost-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

"$RENDER" --case "$WORK/pan.mkv" lake_boats_2560x1600.jpg 300 \
  --at 0 520 800 0 1 0 0 --at 299 2040 820 0 1 0 0
tree_seconds() {
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["timings"]["tree_seconds"])' "$1"
}
best_plain=""
best_keep=""
cpu_plain=""
cpu_keep=""
lesser() { awk -v a="$1" -v b="${2:-$1}" 'BEGIN { print (a < b ? a : b) }'; }
for round in $(seq "$ROUNDS"); do
  for variant in plain keep; do
    dir=$WORK/$variant
    mkdir -p "$dir"
    options=()
    [ "$variant" = keep ] && options=(--keep-going)
    (cd "$dir" && /usr/bin/time -f "%U %S" -o cpu.txt \
      "$VMOSAIC" "${options[@]}" --json run.json ../pan.mkv 70 > /dev/null 2>&1)
    t=$(tree_seconds "$dir/run.json")
    cpu=$(awk '{ print $1 + $2 }' "$dir/cpu.txt")
    if [ "$variant" = plain ]; then
      best_plain=$(lesser "$t" "$best_plain")
      cpu_plain=$(lesser "$cpu" "$cpu_plain")
    else
      best_keep=$(lesser "$t" "$best_keep")
      cpu_keep=$(lesser "$cpu" "$cpu_keep")
    fi
  done
  echo "keep_going_cost.sh: round $round done" >&2
done
same=no
cmp -s "$WORK/plain/pano_Mean.png" "$WORK/keep/pano_Mean.png" && same=yes
awk -v cp="$cpu_plain" -v ck="$cpu_keep" -v p="$best_plain" -v k="$best_keep" -v s="$same" 'BEGIN {
  printf "| pan 640x480, 300 frames, threshold 70 | %.2f | %.2f | %+.1f %% | %.2f | %.2f | %s |\n",
    cp, ck, 100 * (ck / cp - 1), p, k, s }'
