#!/usr/bin/env bash
# Survey output, measured: the georeferencing error of rendered surveys whose
# telemetry comes from their true homographies (`georef`, run by `make
# fidelity`), and the time and peak memory of a canvas above 100 Mpx composed
# in tiles into a GeoTIFF (`large`, run by `make bench`). Appends to
# bench/SURVEY.md's tables on standard output; the videos are cached in
# BENCH_CACHE.
#
#   BUILD_DIR=build-bench bench/survey.sh georef|large
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-build-bench}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
VMOSAIC=$BUILD_DIR/driver/vmosaic
RENDER=$BUILD_DIR/tools/vmosaic-render
BENCH_CACHE=${BENCH_CACHE:-${TMPDIR:-/tmp}/vmosaic-bench-videos}
mode=${1:-georef}
for tool in "$VMOSAIC" "$RENDER" /usr/bin/time; do
  [ -x "$tool" ] || { echo "survey.sh: $tool missing" >&2; exit 1; }
done
mkdir -p "$BENCH_CACHE"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Georeferencing error of a report: each key frame's centre on the canvas
# through the geotransform, against its position (metres).
errors() {
  python3 - "$1" <<'PY'
import json, math, sys
g = json.load(open(sys.argv[1]))["georeference"]
t = g["geotransform"]
e = []
for k in g["key_frames"]:
    px, py = k["canvas_x"] + 0.5, k["canvas_y"] + 0.5
    x, y = t[0] + px * t[1] + py * t[2], t[3] + px * t[4] + py * t[5]
    e.append(math.hypot(x - k["easting"], y - k["northing"]))
print("%d | %.4f | %.3f | %.3f" % (len(e), g["metres_per_pixel"],
      math.sqrt(sum(v * v for v in e) / len(e)), max(e)))
PY
}

if [ "$mode" = georef ]; then
  echo "| case | telemetry | key frames | m per px | error rms m | error max m |"
  echo "|---|---|---|---|---|---|"
  # Two serpentine surveys at 5 cm per pixel, over each bundled photo.
  for photo in moss_2560x1600.jpg lake_boats_2560x1600.jpg; do
    name=${photo%%_*}
    video=$work/$name.mkv
    "$RENDER" --case "$video" "$photo" 160 --serpentine 400 2100 350 4 300 \
      --ground 47.3 8.5 0.05 --telemetry-csv "$work/$name.csv" \
      --telemetry-srt "$work/$name.srt" >/dev/null
    for kind in csv srt; do
      (cd "$work" && "$VMOSAIC" --format tif --telemetry "$name.$kind" --json "$name.$kind.json" \
        "$video" 70 0 0 >/dev/null 2>&1)
      echo "| $name | $kind | $(errors "$work/$name.$kind.json") |"
    done
  done
  exit 0
fi

# A 1080p survey over the composite scene at zoom 2.5 (12800 x 8000 frame
# pixels): 9 rows, SIFT, each frame a key frame.
video=$BENCH_CACHE/survey_composite_1080p.mp4
if [ ! -f "$video" ]; then
  "$RENDER" --case "$video" composite 140 --size 1920 1080 --zoom 2.5 \
    --serpentine 392 4728 224 9 344 --ground 47.3 8.5 0.05 \
    --telemetry-csv "$BENCH_CACHE/survey_composite_1080p.csv" >/dev/null
fi
cd "$work"
/usr/bin/time -v "$VMOSAIC" --format tif --telemetry "$BENCH_CACHE/survey_composite_1080p.csv" \
  --json r.json "$video" 80 1 0 >out.txt 2>err.txt || { tail -20 err.txt >&2; exit 1; }
canvas=$(python3 -c "import json; c = json.load(open('r.json'))['canvas']; print('%dx%d (%.1f Mpx)' % (c['width'], c['height'], c['width'] * c['height'] / 1e6))")
peak=$(awk '/Maximum resident set size/ {printf "%.0f", $6 / 1024}' err.txt)
wall=$(awk '/Elapsed \(wall clock\)/ {print $8}' err.txt)
size=$(du -m pano_Mean.tif | cut -f1)
echo "| canvas | key frames | wall | peak resident MiB | pano_Mean.tif MiB | georeference error rms / max m |"
echo "|---|---|---|---|---|---|"
echo "| $canvas | $(grep -c '"frame_to_canvas": \[' r.json) | $wall | $peak | $size | $(errors r.json | cut -d'|' -f3,4) |"
grep -E "skipped|georeference" err.txt >&2 || true
