#!/usr/bin/env bash
# End-to-end benchmark: renders a fixed, seeded set of videos, runs vmosaic on
# each with and without the median, and prints one table (markdown): tree
# construction frames per second, mean and median composition seconds, peak
# resident memory, and the decode floor (frames per second of only reading
# the video with cv::VideoCapture) measured in the same run; then a second
# table with the optional stages (--refine, --blend) and their share of a run
# (--refine at the default overlap: bench/refine_cost.sh); then, for the videos
# of 1080p and more, the tree stage with --work-scale 1, 0.5 and 0.25.
#
#   BUILD_DIR=build-bench BENCH_SET=full|quick bench/e2e.sh
#
# BENCH_SET=quick keeps the 640x480 pan only (a few minutes on 2 cores);
# BENCH_SET=large runs only the 1920x1080 and 3840x2160 pans, which the full
# set also includes (rendering them once takes several minutes).
# VMOSAIC may name another vmosaic binary (to compare two builds); the videos
# are cached in BENCH_CACHE and reused.
set -euo pipefail

source "$(dirname "$0")/bench_common.sh"
DECODE=$BUILD_DIR/bench/vmosaic-decode-floor
BENCH_SET=${BENCH_SET:-full}
# SIFT runs stop after this many frames: registration of 10-40 thousand
# descriptors per frame makes whole SIFT runs take far too long.
SIFT_FRAMES=${SIFT_FRAMES:-60}

require_tools e2e.sh "$VMOSAIC" "$RENDER" "$DECODE"
mkdir -p "$BENCH_CACHE"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vmosaic-e2e-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# name width height frames kind
VIDEOS_QUICK="pan640 640 480 300 pan"
VIDEOS_FULL="$VIDEOS_QUICK
serp640 640 480 1000 serpentine
pan1280 1280 720 300 pan
serp1280 1280 720 600 serpentine"
VIDEOS_LARGE="pan1080 1920 1080 200 pan
pan2160 3840 2160 120 pan"
case $BENCH_SET in
  quick) VIDEOS=$VIDEOS_QUICK ;;
  large) VIDEOS=$VIDEOS_LARGE ;;
  *) VIDEOS="$VIDEOS_FULL
$VIDEOS_LARGE" ;;
esac

video_path() { echo "$BENCH_CACHE/$1.mp4"; }

render_videos() {
  while read -r name w h n kind; do
    local out
    out=$(video_path "$name")
    [ -s "$out" ] || "$RENDER" "$out" "$w" "$h" "$n" "$kind" >&2
  done <<< "$VIDEOS"
}

# timed_run DIR ARG...: runs vmosaic with ARGs in DIR under /usr/bin/time
# and sets tree and comp (the stages' seconds it prints) and rss (peak, kB).
timed_run() {
  local dir=$1
  shift
  (cd "$dir" && /usr/bin/time -v -o time.txt "$VMOSAIC" "$@" > out.txt 2> err.txt < /dev/null)
  tree=$(sed -n 's/.*Time processing AVL Binary Tree Construction: \([0-9.]*\).*/\1/p' "$dir/out.txt")
  comp=$(sed -n 's/.*Time processing CalculateCenteredPanorama: \([0-9.]*\).*/\1/p' "$dir/out.txt")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): \([0-9]*\).*/\1/p' "$dir/time.txt")
}

# Runs vmosaic in its own directory; prints "frames tree_s comp_s rss_kb".
run_one() {
  local video=$1 thr=$2 method=$3 median=$4 limit=$5 dir
  dir=$(mktemp -d "$WORK/run-XXXXXX")
  local args=("$video" "$thr" "$method" "$median")
  [ "$limit" -gt 0 ] && args+=("$limit")
  local tree comp rss frames
  timed_run "$dir" "${args[@]}"
  # Frames read: the limit, else every frame the decoder delivers.
  frames=$limit
  [ "$frames" -gt 0 ] || frames=$DECODED_FRAMES
  echo "$frames $tree $comp $rss"
  # Keep the mosaics' checksums so two builds can be compared byte for byte.
  (cd "$dir" && sha256sum pano_*.png 2>/dev/null | sed "s|  |  $(basename "$video") t$thr m$method med$median |") >> "$WORK/sums.txt" || true
}

render_videos
echo "| video | features | threshold | frames | tree fps | decode fps | tree / decode | mean s | median s | mean % of run | peak RSS MB (mean / +median) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
while read -r name w h n kind; do
  video=$(video_path "$name")
  read -r DECODED_FRAMES _ decode_fps < <("$DECODE" "$video")
  for method in 0 1; do
    limit=0
    [ "$method" = 1 ] && limit=$SIFT_FRAMES
    for thr in 70 90; do
      # SIFT at 90 only on the quick set's video: it is the slowest row.
      if [ "$method" = 1 ] && [ "$thr" = 90 ] && [ "$name" != pan640 ]; then continue; fi
      read -r frames tree0 comp0 rss0 < <(run_one "$video" "$thr" "$method" 0 "$limit")
      read -r _ _ comp1 rss1 < <(run_one "$video" "$thr" "$method" 1 "$limit")
      awk -v name="$name" -v wh="${w}x${h}" -v m="$method" -v t="$thr" -v f="$frames" \
          -v tree="$tree0" -v c0="$comp0" -v c1="$comp1" -v r0="$rss0" -v r1="$rss1" \
          -v dfps="$decode_fps" 'BEGIN {
        fps = tree > 0 ? f / tree : 0; med = c1 - c0; if (med < 0) med = 0;
        printf "| %s %s | %s | %d | %d | %.1f | %.1f | %.3f | %.2f | %.2f | %.1f | %.0f / %.0f |\n",
          name, wh, (m == 0 ? "corners" : "SIFT"), t, f, fps, dfps, (dfps > 0 ? fps / dfps : 0),
          c0, med, 100 * c0 / (tree + c0), r0 / 1024, r1 / 1024 }'
    done
  done
done <<< "$VIDEOS"

if [ -n "${SUMS_OUT:-}" ]; then sort -k2 "$WORK/sums.txt" > "$SUMS_OUT"; fi

# The optional stages, in one run with both (corners, threshold 70): their
# seconds (from standard error) and their share of the whole run. A build
# from before the stages existed (VMOSAIC naming an older tree) has no row.
usage=$("$VMOSAIC" --help 2>&1 || true)
if [[ $usage != *--refine* ]]; then
  echo "e2e.sh: $VMOSAIC has no --refine; no table of the optional stages" >&2
  exit 0
fi
echo
echo "| video | frames | tree s | refine s | refine % of run | mean s | blend s | blend % of run | peak RSS MB |"
echo "|---|---|---|---|---|---|---|---|---|"
while read -r name w h n kind; do
  video=$(video_path "$name")
  dir=$(mktemp -d "$WORK/stages-XXXXXX")
  timed_run "$dir" --refine --blend "$video" 70 0 0
  refine=$(sed -n 's/^Time processing refinement: \([0-9.]*\).*/\1/p' "$dir/err.txt")
  blend=$(sed -n 's/^Time composing the blended panorama: \([0-9.]*\).*/\1/p' "$dir/err.txt")
  awk -v name="$name" -v wh="${w}x${h}" -v f="$n" -v tree="$tree" -v c="$comp" \
      -v r="${refine:-0}" -v b="${blend:-0}" -v rss="$rss" 'BEGIN {
    total = tree + c + r + b;
    printf "| %s %s | %d | %.2f | %.2f | %.1f | %.2f | %.2f | %.1f | %.0f |\n", name, wh, f, tree, r,
      100 * r / total, c, b, 100 * b / total, rss / 1024 }'
done <<< "$VIDEOS"

# Registration on scaled-down frames (--work-scale), on the videos of 1080p
# and more (corners, threshold 70): the tree stage's frames per second against
# the decode floor of the same file, the key frames, the mean's seconds and
# canvas (composed at full resolution whatever the scale), and peak memory.
if [[ $usage != *--work-scale* ]]; then
  echo "e2e.sh: $VMOSAIC has no --work-scale; no table of work scales" >&2
  exit 0
fi
echo
echo "| video | work scale | frames | tree fps | decode fps | tree / decode | key frames | mean s | canvas | peak RSS MB |"
echo "|---|---|---|---|---|---|---|---|---|---|"
while read -r name w h n kind; do
  [ "$w" -ge 1920 ] || continue
  video=$(video_path "$name")
  read -r frames _ decode_fps < <("$DECODE" "$video")
  for scale in 1 0.5 0.25; do
    dir=$(mktemp -d "$WORK/scale-XXXXXX")
    timed_run "$dir" --work-scale "$scale" --json r.json "$video" 70 0 0
    nodes=$(sed -n 's/^Number of nodes: *\([0-9]*\).*/\1/p' "$dir/out.txt")
    canvas=$(sed -n 's/.*"canvas": {"width": \([0-9]*\), "height": \([0-9]*\).*/\1x\2/p' "$dir/r.json")
    awk -v name="$name" -v wh="${w}x${h}" -v s="$scale" -v f="$frames" -v tree="$tree" \
        -v dfps="$decode_fps" -v k="$nodes" -v c="$comp" -v canvas="$canvas" -v rss="$rss" 'BEGIN {
      fps = tree > 0 ? f / tree : 0;
      printf "| %s %s | %s | %d | %.1f | %.1f | %.3f | %d | %.2f | %s | %.0f |\n", name, wh, s, f, fps,
        dfps, (dfps > 0 ? fps / dfps : 0), k, c, canvas, rss / 1024 }'
  done
done <<< "$VIDEOS"
