#!/usr/bin/env bash
# Builds the benchmarks (release) and prints the CPU cost of one polling
# round beside the system-call floor, and their ratio.
#   scripts/bench.sh [extra Google Benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLOR_BUILD_BENCH=ON \
  -DPLOR_BUILD_TESTS=OFF -DPLOR_BUILD_TOOLS=OFF -DPLOR_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc)"
# Interleaved repetitions and medians: the two sides see the same machine load.
"$build/bench/round_bench" --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.5 "$@"
