# Sourced by the benchmark scripts: where the build, the program and the
# renderer are, where rendered videos are cached, and a check that the tools
# a script needs are there. BUILD_DIR (default build-bench, relative to the
# repository), VMOSAIC and BENCH_CACHE may be set by the caller.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-build-bench}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
VMOSAIC=${VMOSAIC:-$BUILD_DIR/driver/vmosaic}
RENDER=$BUILD_DIR/bench/vmosaic-bench-render
BENCH_CACHE=${BENCH_CACHE:-${TMPDIR:-/tmp}/vmosaic-bench-videos}

# require_tools SCRIPT TOOL...: stops the script when a tool, or
# /usr/bin/time, is missing.
require_tools() {
  local script=$1 tool
  shift
  for tool in "$@"; do
    [ -x "$tool" ] || { echo "$script: $tool missing (make bench builds it)" >&2; exit 1; }
  done
  [ -x /usr/bin/time ] || { echo "$script: /usr/bin/time missing (apt-get install time)" >&2; exit 1; }
}
