#!/usr/bin/env bash
# Builds the libFuzzer targets, and the programs beside them that make their starting inputs, with clang into
# build-fuzz/ (installs clang when it is missing). Runs none of them: a fuzzing run is started by
# hand, e.g.
#   build-fuzz/fuzz/paradox/paradox_fuzz -max_total_time=600 fuzz-corpus-paradox/
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(clang libclang-rt-14-dev ninja-build cmake)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCOPYORVEL_FUZZ=ON -DCOPYORVEL_TESTS=OFF -DCOPYORVEL_BENCH=OFF
targets=$(sed -n 's/^\(copyorvel_fuzz\|add_executable\)(\([A-Za-z0-9_]*\) .*/\2/p' fuzz/*/CMakeLists.txt)
# shellcheck disable=SC2086
cmake --build build-fuzz --parallel "$(nproc)" --target $targets
