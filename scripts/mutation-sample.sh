#!/usr/bin/env bash
# Mutation sample: applies each mutant of a fixed list (scripts/mutants.txt,
# made once by `scripts/mutants.py generate SEED COUNT`) to the product
# sources, one at a time; rebuilds incrementally, runs the suite and counts
# the mutants the suite kills. A mutant that does not build is "not viable"
# (not counted as killed); one whose line no longer exists is "not applied".
#
# Usage: scripts/mutation-sample.sh [--build DIR] [--list FILE] [--only ID...]
# Environment: MUTANT_SECONDS (time limit per mutant's test run, default 600),
#   TEST_SECONDS (per test, default 180), JOBS, MUTATION_EXCLUDE (ctest -E regex).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-mutation
list=scripts/mutants.txt
only=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --list) list="$2"; shift 2 ;;
    --only) shift; only=("$@"); break ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
jobs="${JOBS:-$(nproc)}"
mutant_seconds="${MUTANT_SECONDS:-600}"
test_seconds="${TEST_SECONDS:-180}"

if [[ -n "$(git status --porcelain -- driver io panorama features composition geometry)" ]]; then
  echo "product folders have uncommitted changes; commit or stash them first" >&2
  exit 2
fi

mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVMOSAIC_WERROR=ON \
  -DVMOSAIC_BUILD_TESTS=ON -DVMOSAIC_BENCH=OFF -DVMOSAIC_FUZZ=OFF > "$build/configure.log" 2>&1 \
  || { cat "$build/configure.log" >&2; exit 1; }
logdir="$build/mutation-logs"
mkdir -p "$logdir"

# Tests labelled `slow` stay out of the per-mutant run when the label exists.
ctest_args=(--test-dir "$build" --stop-on-failure -j "$jobs" --timeout "$test_seconds")
cmake --build "$build" -j "$jobs" > "$logdir/clean-build.log" 2>&1 \
  || { tail -30 "$logdir/clean-build.log" >&2; exit 1; }
if ctest --test-dir "$build" --print-labels 2>/dev/null | grep -qx '  slow'; then
  ctest_args+=(-LE slow)
fi
if [[ -n "${MUTATION_EXCLUDE:-}" ]]; then ctest_args+=(-E "$MUTATION_EXCLUDE"); fi

echo "clean suite: ${ctest_args[*]}" >&2
if ! timeout "$mutant_seconds" ctest "${ctest_args[@]}" > "$logdir/clean-tests.log" 2>&1; then
  tail -30 "$logdir/clean-tests.log" >&2
  echo "the unmutated suite fails; no mutation score" >&2
  exit 1
fi

mapfile -t ids < <(python3 scripts/mutants.py ids "$list")
if [[ ${#only[@]} -gt 0 ]]; then ids=("${only[@]}"); fi

current=""
restore() {
  if [[ -n "$current" ]]; then git checkout -q -- "$current"; current=""; fi
}
trap restore EXIT INT TERM

killed=0 survived=0 notviable=0 notapplied=0
table="$logdir/table.txt"
printf '%-5s %-10s %-8s %s\n' id result seconds mutation > "$table"
for id in "${ids[@]}"; do
  file=$(awk -F'\t' -v id="$id" '$1 == id { print $2 }' "$list")
  start=$SECONDS
  current="$file"
  if ! change=$(python3 scripts/mutants.py apply "$list" "$id" 2>/dev/null); then
    current=""
    result="not-applied"; notapplied=$((notapplied + 1)); change="$file: line gone"
  elif ! cmake --build "$build" -j "$jobs" > "$logdir/$id.build.log" 2>&1; then
    result="not-viable"; notviable=$((notviable + 1))
  elif timeout "$mutant_seconds" ctest "${ctest_args[@]}" > "$logdir/$id.tests.log" 2>&1; then
    result="survived"; survived=$((survived + 1))
  else
    result="killed"; killed=$((killed + 1))
  fi
  restore
  line=$(printf '%-5s %-10s %-8s %s' "$id" "$result" "$((SECONDS - start))" "$change")
  echo "$line" >> "$table"
  echo "$line" >&2
done
# Leave the build matching the sources again.
cmake --build "$build" -j "$jobs" > "$logdir/final-build.log" 2>&1 || true

cat "$table"
applied=$((killed + survived + notviable))
viable=$((killed + survived))
score="n/a"
if [[ $viable -gt 0 ]]; then score=$(awk -v k=$killed -v v=$viable 'BEGIN { printf "%.1f %%", 100 * k / v }'); fi
echo "mutants: ${#ids[@]} listed, $applied applied, $killed killed, $survived survived, $notviable not viable, $notapplied not applied; score $score of viable"
