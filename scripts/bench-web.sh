#!/usr/bin/env bash
# Builds the /metrics benchmark (release) and prints the time of the text for
# ten devices, and of the whole request over loopback through the server.
#   scripts/bench-web.sh [extra Google Benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=build-bench-web
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLOR_BUILD_BENCH=ON \
  -DPLOR_BUILD_TESTS=OFF -DPLOR_BUILD_TOOLS=ON -DPLOR_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc)" --target metrics_bench
"$build/bench/metrics_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
