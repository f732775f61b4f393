#!/usr/bin/env bash
# Mutation sample: applies each mutant of a fixed list (scripts/mutants.txt,
# made once by `scripts/mutants.py generate SEED COUNT`) to the product
# sources, one at a time; rebuilds incrementally, runs the suite and counts
# the mutants the suite kills. A mutant that does not build is "not viable"
# (not counted as killed); one whose line no longer exists is "not applied".
#
# Per mutant: an incremental build, then the tests beside the mutated folder,
# then the rest of the suite, stopping at the first failure (killed). A
# mutant that outlasts the time limit without a failure is "not killed
# within the time limit" and counts as not killed. Mutants run in a fixed
# seeded order, so the first N of a run are themselves a random sample
# (MUTANT_COUNT=N runs only those).
#
# Usage: scripts/mutation-sample.sh [--build DIR] [--list FILE] [--only ID...]
# Environment: MUTANT_SECONDS (time limit per mutant, build included,
#   default 600), TEST_SECONDS (per test, default 180), JOBS, MUTANT_COUNT,
#   MUTATION_EXCLUDE (regex of test names to leave out, beside the tests
#   labelled slow), CLEAN_RUN=0 (skip the run of the unmutated suite).
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

cmake --build "$build" -j "$jobs" > "$logdir/clean-build.log" 2>&1 \
  || { tail -30 "$logdir/clean-build.log" >&2; exit 1; }
# Tests labelled `slow` (and those matching MUTATION_EXCLUDE) stay out.
exclude="${MUTATION_EXCLUDE:-}"
ctest_args=(--test-dir "$build" --stop-on-failure -j "$jobs" --timeout "$test_seconds")
if [[ "${CLEAN_RUN:-1}" != 0 ]]; then
  all=$(python3 scripts/mutants.py tests "$build" '!' "$exclude")
  echo "clean suite" >&2
  if ! ctest "${ctest_args[@]}" -R "$all" > "$logdir/clean-tests.log" 2>&1; then
    tail -30 "$logdir/clean-tests.log" >&2
    echo "the unmutated suite fails; no mutation score" >&2
    exit 1
  fi
fi

mapfile -t ids < <(python3 scripts/mutants.py ids "$list")
if [[ ${#only[@]} -gt 0 ]]; then ids=("${only[@]}"); fi
if [[ -n "${MUTANT_COUNT:-}" ]]; then ids=("${ids[@]:0:$MUTANT_COUNT}"); fi

current=""
restore() {
  if [[ -n "$current" ]]; then git checkout -q -- "$current"; current=""; fi
}
trap restore EXIT INT TERM

# Runs the tests matching regex within the time left; 0 all passed, 1 one
# failed, 2 the time ran out.
run_tests() {
  local regex="$1" log="$2" left="$3"
  [[ -z "$regex" ]] && return 0
  [[ $left -le 0 ]] && return 2
  timeout "$left" ctest "${ctest_args[@]}" -R "$regex" >> "$log" 2>&1
  local status=$?
  if [[ $status -eq 0 ]]; then return 0; fi
  if [[ $status -eq 124 ]]; then return 2; fi
  return 1
}

killed=0 survived=0 limited=0 notviable=0 notapplied=0
table="$logdir/table.txt"
printf '%-5s %-11s %-8s %s\n' id result seconds mutation > "$table"
for id in "${ids[@]}"; do
  file=$(awk -F'\t' -v id="$id" '$1 == id { print $2 }' "$list")
  folder="${file%%/*}"
  start=$SECONDS
  current="$file"
  if ! change=$(python3 scripts/mutants.py apply "$list" "$id" 2>/dev/null); then
    current=""
    result="not-applied"; notapplied=$((notapplied + 1)); change="$file: line gone"
  elif ! cmake --build "$build" -j "$jobs" > "$logdir/$id.build.log" 2>&1; then
    result="not-viable"; notviable=$((notviable + 1))
  else
    # The tests beside the mutated folder first (they kill most mutants
    # quickly), then the rest of the suite, all within the time limit.
    log="$logdir/$id.tests.log"
    : > "$log"
    set +e
    run_tests "$(python3 scripts/mutants.py tests "$build" "$folder" "$exclude")" "$log" \
      $((mutant_seconds - (SECONDS - start)))
    status=$?
    if [[ $status -eq 0 ]]; then
      run_tests "$(python3 scripts/mutants.py tests "$build" "!$folder" "$exclude")" "$log" \
        $((mutant_seconds - (SECONDS - start)))
      status=$?
    fi
    set -e
    case $status in
      0) result="survived"; survived=$((survived + 1)) ;;
      1) result="killed"; killed=$((killed + 1)) ;;
      *) result="time-limit"; limited=$((limited + 1)) ;;
    esac
  fi
  restore
  line=$(printf '%-5s %-11s %-8s %s' "$id" "$result" "$((SECONDS - start))" "$change")
  echo "$line" >> "$table"
  echo "$line" >&2
done
# Leave the build matching the sources again.
cmake --build "$build" -j "$jobs" > "$logdir/final-build.log" 2>&1 || true

cat "$table"
applied=$((killed + survived + limited + notviable))
viable=$((killed + survived + limited))
score="n/a"
if [[ $viable -gt 0 ]]; then score=$(awk -v k=$killed -v v=$viable 'BEGIN { printf "%.1f %%", 100 * k / v }'); fi
echo "mutants: ${#ids[@]} run, $applied applied, $killed killed, $survived survived, $limited not killed within the time limit, $notviable not viable, $notapplied not applied; score $score of viable"
