#!/usr/bin/env bash
# Builds the serial benchmark (release) and prints how long a register write
# takes from command to verdict on a pseudo-terminal whose far end echoes at
# once (median and 90th percentile per write), for 1, 4 and 8 supplies on
# one line written in one burst.
#   scripts/bench-serial.sh [extra Google Benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLOR_BUILD_BENCH=ON \
  -DPLOR_BUILD_TESTS=OFF -DPLOR_BUILD_TOOLS=OFF -DPLOR_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc)" --target serial_bench
"$build/bench/serial_bench" "$@"
