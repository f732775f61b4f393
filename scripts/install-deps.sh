#!/usr/bin/env bash
# Installs the Debian 12 packages vmosaic needs to build and test, only those
# that are missing. Usage: scripts/install-deps.sh [--tests] [--coverage] [--fuzz] [--extra PKG...]
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
  libopencv-videoio-dev libopencv-highgui-dev libopencv-video-dev
  libopencv-features2d-dev libopencv-calib3d-dev libopencv-stitching-dev
  libboost-dev libceres-dev libgdal-dev
  pybind11-dev python3-dev python3-numpy
)
if [[ "${1:-}" == "--tests" ]]; then
  shift
  packages+=(googletest libgtest-dev libgmock-dev xvfb python3 python3-jsonschema
    python3-pytest python3-pil python3-distributed)
fi
if [[ "${1:-}" == "--coverage" ]]; then
  shift
  packages+=(gcovr)
fi
if [[ "${1:-}" == "--fuzz" ]]; then
  # libFuzzer and the sanitizer runtimes come with clang's compiler-rt.
  shift
  packages+=(clang libclang-rt-14-dev)
fi
if [[ "${1:-}" == "--extra" ]]; then
  shift
  packages+=("$@")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
