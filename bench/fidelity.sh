#!/usr/bin/env bash
# Fidelity benchmark: renders a fixed, seeded set of cases with known camera
# motion (lossless 640x480 video and every frame's true homography), runs
# vmosaic on each (plain, and with --refine / --blend / both when the binary
# offers them), scores every mosaic against the scene and every key frame
# against the truth (bench/fidelity_score.cpp), and writes bench/FIDELITY.md.
#
#   BUILD_DIR=build-bench bench/fidelity.sh          (make fidelity)
#
# FIDELITY_CASES="easy_pan serpentine" limits the cases, FIDELITY_VARIANTS=
# "plain refine" the runs (of plain, refine, blend, refine+blend); FIDELITY_OUT names
# another output file; VMOSAIC another vmosaic binary; FIDELITY_KEEP=1 keeps
# the videos and runs (their folder is printed on standard error).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-build-bench}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
VMOSAIC=${VMOSAIC:-$BUILD_DIR/driver/vmosaic}
RENDER=$BUILD_DIR/tools/vmosaic-render
SCORE=$BUILD_DIR/bench/vmosaic-fidelity-score
OUT=${FIDELITY_OUT:-$ROOT/bench/FIDELITY.md}
THRESHOLD=70
ALL_CASES="easy_pan roll_zoom_facade vignetting_exposure serpentine perspective_tilt noise_blur every_frame_pan
  glitches blur_burst lens_cap_return scene_cut shot_a shot_b occluder"
# Cases of faulty footage: run plain and with --keep-going only.
FAULT_CASES=" glitches blur_burst lens_cap_return scene_cut occluder "
CASES=${FIDELITY_CASES:-$ALL_CASES}

for tool in "$VMOSAIC" "$RENDER" "$SCORE"; do
  [ -x "$tool" ] || { echo "fidelity.sh: $tool missing (make fidelity builds it)" >&2; exit 1; }
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vmosaic-fidelity-XXXXXX")
if [ -n "${FIDELITY_KEEP:-}" ]; then
  echo "fidelity.sh: keeping $WORK" >&2
else
  trap 'rm -rf "$WORK"' EXIT
fi

# What each case shows, and its render arguments (after the video name):
# SCENE FRAMES, then the camera path and effects. A waypoint is
# --at FRAME X Y ANGLE_DEG ZOOM TILT_X TILT_Y, in photo pixels.
describe() {
  case $1 in
    easy_pan) echo "A steady pan along the lake shore (photo), no camera effects." ;;
    roll_zoom_facade) echo "A pan over a procedural facade of near-identical windows, the camera rolling -10 to +10 to -10 degrees and zooming in by 15 % and out again." ;;
    vignetting_exposure) echo "A pan over moss (photo of repetitive objects) with 30 % vignetting at the corners, exposure drifting +-12 % (a sine over the video) and noise of 1 grey level." ;;
    serpentine) echo "A serpentine survey of three rows over the lake photo, 320 pixels apart (about a third of the frame height overlapping)." ;;
    perspective_tilt) echo "A pan over procedural rows of round objects seen obliquely: perspective tilt changing across the pan (up to about 10 % scale across a frame)." ;;
    noise_blur) echo "A brisk pan along the lake shore with motion blur (shutter open half the frame interval, about 6 pixels) and noise of 4 grey levels." ;;
    glitches) echo "The easy pan with single bad frames: flat grey at 30, black at 50, a frame of another scene at 70." ;;
    blur_burst) echo "The easy pan with a burst of heavily motion-blurred frames (shutter open 8 frame intervals) from 60 to 71." ;;
    lens_cap_return) echo "A pan right along the lake shore, a lens cap for a second (frames 60-89, black) while the camera swings back over ground filmed around frame 25, then on to the end." ;;
    scene_cut) echo "Two shots along one camera path: the lake shore (frames 0-59), then moss (60-119). Each mosaic is scored against its own shot; shot_a and shot_b are the two shots alone." ;;
    shot_a) echo "The first shot of scene_cut alone (frames 0-59 of its path, the lake shore)." ;;
    shot_b) echo "The second shot of scene_cut alone (frames 60-119 of its path, moss)." ;;
    occluder) echo "The easy pan with a dark occluder crossing the left half of the frame (frames 40-70)." ;;
    every_frame_pan) echo "The easy pan at overlap threshold 100 (the default): every frame is a key frame." ;;
  esac
}
EASY="lake_boats_2560x1600.jpg 120 --at 0 520 800 0 1 0 0 --at 119 2040 820 0 1 0 0"
render_args() {
  case $1 in
    easy_pan) echo "lake_boats_2560x1600.jpg 120 --at 0 520 800 0 1 0 0 --at 119 2040 820 0 1 0 0" ;;
    roll_zoom_facade) echo "facade 120 --at 0 560 800 -10 1 0 0 --at 60 1290 780 10 1.15 0 0 --at 119 2020 820 -10 1 0 0" ;;
    vignetting_exposure) echo "moss_2560x1600.jpg 120 --at 0 520 780 0 1 0 0 --at 119 2040 820 0 1 0 0 --vignetting 0.3 --exposure 0.12 --noise 1 --seed 3" ;;
    serpentine) echo "lake_boats_2560x1600.jpg 200 --serpentine 700 1860 480 3 320" ;;
    perspective_tilt) echo "objects 100 --at 0 540 800 0 1 -0.0003 0.0002 --at 99 2020 800 0 1 0.0003 0.0002" ;;
    noise_blur) echo "lake_boats_2560x1600.jpg 100 --at 0 520 760 0 1 0 0 --at 99 2040 840 0 1 0 0 --blur 0.5 --noise 4 --seed 5" ;;
    glitches) echo "$EASY --fault flat 30 30 --fault black 50 50 --fault other 70 70" ;;
    blur_burst) echo "$EASY --fault blur 60 71" ;;
    lens_cap_return) echo "lake_boats_2560x1600.jpg 150 --at 0 520 800 0 1 0 0 --at 60 1300 800 0 1 0 0 --at 90 900 810 0 1 0 0 --at 149 2040 820 0 1 0 0 --fault black 60 89" ;;
    scene_cut) echo "$EASY --cut 60 moss_2560x1600.jpg" ;;
    shot_a) echo "lake_boats_2560x1600.jpg 60 --at 0 520 800 0 1 0 0 --at 59 1273.61 809.92 0 1 0 0" ;;
    shot_b) echo "moss_2560x1600.jpg 60 --at 0 1286.39 810.08 0 1 0 0 --at 59 2040 820 0 1 0 0" ;;
    occluder) echo "$EASY --fault occluder 40 70" ;;
    every_frame_pan) render_args easy_pan ;;
    *) return 1 ;;
  esac
}

# A --keep-going run with several mosaics: segment k (k >= 2) becomes a run
# folder of its own (its report and pano_*_k.png as pano_*.png), scored
# against the shot it shows (the cut's scene from the cut on). Prints the
# folders made.
split_segments() {
  local dir=$1 truth=$2
  python3 - "$dir" "$truth" <<'PY' || return 0
import json, os, shutil, sys
run, truth_path = sys.argv[1], sys.argv[2]
report = json.load(open(os.path.join(run, "report.json")))
truth = json.load(open(truth_path))
for k, seg in enumerate(report.get("segments", [])[1:], start=2):
    if "canvas" not in seg:
        continue
    out = f"{run}.seg{k}"
    os.makedirs(out, exist_ok=True)
    frames = [{"id": i + 1, "frame": f, "frame_to_canvas": seg["frame_to_canvas"][i]}
              for i, f in enumerate(seg["key_frames"])]
    json.dump({"canvas": seg["canvas"], "reference": seg["reference"], "key_frames": frames,
               "timings": {}}, open(os.path.join(out, "report.json"), "w"))
    for image in os.listdir(run):
        if image.startswith("pano_") and image.endswith(f"_{k}.png"):
            shutil.move(os.path.join(run, image), os.path.join(out, image[:-len(f"_{k}.png")] + ".png"))
    shot = dict(truth)
    cut = truth.get("cut")
    if cut and seg["first_frame"] >= cut["frame"]:
        shot["scene"] = cut["scene"]
    json.dump(shot, open(os.path.join(out, "truth.json"), "w"))
    print(out)
PY
}

# The variants the binary supports: label and extra options.
HELP=$("$VMOSAIC" --help)
VARIANTS=("plain|")
has_option() { grep -q -- "$1" <<< "$HELP"; }
has_option --refine && VARIANTS+=("refine|--refine")
has_option --blend && VARIANTS+=("blend|--blend")
has_option --refine && has_option --blend && VARIANTS+=("refine+blend|--refine --blend")
KEEP_GOING=""
has_option --keep-going && KEEP_GOING="keep-going|--keep-going"
if [ -n "${FIDELITY_VARIANTS:-}" ]; then
  chosen=()
  for variant in "${VARIANTS[@]}"; do
    for want in $FIDELITY_VARIANTS; do
      [ "${variant%%|*}" = "$want" ] && chosen+=("$variant")
    done
  done
  [ ${#chosen[@]} -gt 0 ] || { echo "fidelity.sh: none of $FIDELITY_VARIANTS offered" >&2; exit 1; }
  VARIANTS=("${chosen[@]}")
fi

SECTIONS=$WORK/sections.md
SUMMARY=$WORK/summary.md
: > "$SECTIONS"
: > "$SUMMARY"
start_all=$(date +%s.%N)
load=$(cut -d' ' -f1-3 /proc/loadavg)
revision=$(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo unknown)
for name in $CASES; do
  args=$(render_args "$name") || { echo "fidelity.sh: unknown case $name" >&2; exit 1; }
  threshold=$THRESHOLD
  [ "$name" = every_frame_pan ] && threshold=100
  video=$WORK/$name.mkv
  truth=$WORK/$name.truth.json
  echo "fidelity.sh: $name" >&2
  # shellcheck disable=SC2086  # the arguments are words by design
  "$RENDER" --case "$video" $args --truth "$truth"
  runs=()
  commands="vmosaic-render --case $name.mkv $args --truth $name.truth.json"
  case_variants=("${VARIANTS[@]}")
  segment_runs=()
  if [[ $FAULT_CASES == *" $name "* ]]; then
    case_variants=("plain|")
    [ -n "$KEEP_GOING" ] && case_variants+=("$KEEP_GOING")
  elif [ "$name" = easy_pan ] && [ -n "$KEEP_GOING" ]; then
    case_variants+=("$KEEP_GOING")
  fi
  for variant in "${case_variants[@]}"; do
    label=${variant%%|*}
    options=${variant#*|}
    dir=$WORK/$name.${label/+/-}
    mkdir -p "$dir"
    t0=$(date +%s.%N)
    # shellcheck disable=SC2086
    if (cd "$dir" && "$VMOSAIC" --json report.json $options "$video" "$threshold" 0 1 \
          > stdout.txt 2> stderr.txt < /dev/null); then
      t1=$(date +%s.%N)
      awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f\n", b - a }' > "$dir/wall.txt"
      runs+=("$label=$dir")
      while read -r segment; do
        segment_runs+=("$label|$segment")
      done < <(split_segments "$dir" "$truth")
    else
      echo "fidelity.sh: vmosaic failed on $name ($label):" >&2
      tail -5 "$dir/stderr.txt" >&2
    fi
    commands+=$'\n'"vmosaic --json report.json${options:+ $options} $name.mkv $threshold 0 1"
  done
  {
    echo "## $name"
    echo
    describe "$name"
    echo
    echo '```'
    echo "$commands"
    echo '```'
    echo
    if [ ${#runs[@]} -gt 0 ]; then
      "$SCORE" --summary "$SUMMARY" "$name" "$truth" "$video" "${runs[@]}"
      for entry in "${segment_runs[@]}"; do
        segment=${entry#*|}
        echo
        echo "Mosaic ${segment##*.seg} of the ${entry%%|*} run:"
        echo
        "$SCORE" --summary "$SUMMARY" "$name (mosaic ${segment##*.seg})" "$segment/truth.json" \
          "$video" "${entry%%|*}=$segment"
      done
    else
      echo "Every run failed."
    fi
    echo
  } >> "$SECTIONS"
done
end_all=$(date +%s.%N)
minutes=$(awk -v a="$start_all" -v b="$end_all" 'BEGIN { printf "%.1f", (b - a) / 60 }')

labels=""
for variant in "${VARIANTS[@]}"; do labels+="${labels:+, }${variant%%|*}"; done
{
  cat <<EOF
# Fidelity benchmark

How close vmosaic's mosaics come to the scene they were filmed from, on
rendered footage whose every frame's homography is known. Written by
\`make fidelity\` (bench/fidelity.sh) for vmosaic at $revision; the whole run
took $minutes minutes on $(nproc) cores, load average $load at its start
(wall-clock figures depend on the machine's load).

Each case is a lossless 640x480 video rendered by \`vmosaic-render --case\`
(seeded, deterministic) from a photo in data/ or a procedural scene, run with
overlap threshold $THRESHOLD (every_frame_pan: 100), corners and optical flow, median on. Runs: $labels
(the options this vmosaic offers).

To run it: \`make fidelity\` (builds build-bench with the benchmarks, then
runs bench/fidelity.sh), or \`BUILD_DIR=build bench/fidelity.sh\` on a build
configured with -DVMOSAIC_BENCH=ON. FIDELITY_CASES and FIDELITY_VARIANTS
choose cases and runs, FIDELITY_OUT another output file, FIDELITY_KEEP=1 keeps
the videos, truth files and runs. The rendered frames are the same on every
run (seeded); the scores too, the timings not.

What the figures mean:

- **PSNR**: each mosaic (every \`pano_*.png\` on the mean's canvas) against the
  scene rendered into the plane of the run's reference key frame (its true
  homography, bilinear), over the covered (non-black) pixels, all channels.
  Thirds L / M / R split the canvas width, so drift towards the ends shows.
  Identical images score 99 dB (the cap).
- **tile-gain PSNR**: the same after a gain and offset fitted per 128x128
  tile (least squares, shared by the channels): photometric error
  (vignetting, exposure) is discounted, geometric error stays.
- **true homographies**: the same key frames composed with their true
  homographies by the project's own Composition (the mean): the ceiling for
  this choice of key frames.
- **corner error**: per key frame, the mean distance of its four corners
  mapped by the run's frame_to_canvas and by the truth (the reference key
  frame aligned to the truth). **link error**: the same for the homography
  between key frames neighbouring in the video, in the later one's pixels.
- Nearest-pixel composition makes the scores sensitive to sub-pixel luck:
  differences below about 0.3 dB (a run scoring slightly above its ceiling on
  an easy case, say) are not meaningful.
- **stage seconds**: the timings of the run's --json report; **wall**: the
  whole vmosaic run.

## Overview

PSNR in dB, tile-gain PSNR in brackets; "Mean - true" is the mean's PSNR
minus that of the same key frames composed with the true homographies; link
error median in px; corner error max in px.

| case | run | true homographies | Mean | Mean - true dB | Median | Blend | link error px | corner error max px |
|---|---|---|---|---|---|---|---|---|
EOF
  cat "$SUMMARY"
  echo
  cat "$SECTIONS"
} > "$OUT"
echo "fidelity.sh: wrote $OUT ($minutes min)" >&2
