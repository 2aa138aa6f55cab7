#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, then configures and builds into ./build.
# Extra arguments go to the CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
# Two set-ups at once (two demos started together) would configure one build tree at the same
# time and trip over each other's files: the second waits for the first, then finds it built.
mkdir -p build
exec 9>build/.setup.lock
flock 9

packages=(cmake g++ make pkg-config nlohmann-json3-dev libgtest-dev
          libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
          libopencv-calib3d-dev libopencv-video-dev libopencv-dnn-dev libopencv-videoio-dev libssl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build build -j"$(nproc)"
