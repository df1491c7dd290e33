#!/usr/bin/env bash
# Benchmarks of the data pool and the key input, each against its baseline measured
# in the same run; prints the ratios and the key latency.
#   bench/input/run.sh [BUILD_DIR]     default: build/release (preset "release")
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/release}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPG_WERROR=ON
fi
cmake --build "$build" --target tdpool_bench input_bench -j2
"$build/bench/tdpool/tdpool_bench"
"$build/bench/input/input_bench"
