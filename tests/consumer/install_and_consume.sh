#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds the consumer project there
# with find_package(vmosaic) and runs it, then imports the installed Python
# module with no path of the build.
# Usage: install_and_consume.sh BUILD_DIR CONSUMER_SOURCE VIDEO PYTHON
set -euo pipefail
build=$1 source=$2 video=$3 python=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source" -B "$scratch/build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/build" >/dev/null
"$scratch/build/consumer" "$video"
if [[ -n "$python" ]]; then
  site=$(find "$scratch/prefix" -type d -name dist-packages)
  cd "$scratch"
  PYTHONPATH=$site "$python" -c 'import vmosaic; print("vmosaic", vmosaic.__version__, vmosaic.__file__)'
fi
