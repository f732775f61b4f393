#!/usr/bin/env bash
# What --keep-going costs on clean footage: a rendered 640x480 pan run with
# and without the option, alternately, ROUNDS times each (default 3); prints
# the fastest tree-construction time of each (from the --json report, so
# decoding and composition timings do not blur it), their ratio, and whether
# the mosaics are the same bytes.
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
for round in $(seq "$ROUNDS"); do
  for variant in plain keep; do
    dir=$WORK/$variant
    mkdir -p "$dir"
    options=()
    [ "$variant" = keep ] && options=(--keep-going)
    (cd "$dir" && "$VMOSAIC" "${options[@]}" --json run.json ../pan.mkv 70 > /dev/null 2>&1)
    t=$(tree_seconds "$dir/run.json")
    if [ "$variant" = plain ]; then
      best_plain=$(awk -v a="$t" -v b="${best_plain:-$t}" 'BEGIN { print (a < b ? a : b) }')
    else
      best_keep=$(awk -v a="$t" -v b="${best_keep:-$t}" 'BEGIN { print (a < b ? a : b) }')
    fi
  done
  echo "keep_going_cost.sh: round $round done" >&2
done
same=no
cmp -s "$WORK/plain/pano_Mean.png" "$WORK/keep/pano_Mean.png" && same=yes
awk -v p="$best_plain" -v k="$best_keep" -v s="$same" 'BEGIN {
  printf "| pan 640x480, 300 frames, threshold 70 | %.2f | %.2f | %+.1f %% | %s |\n", p, k, 100 * (k / p - 1), s }'
