#!/usr/bin/env bash
# Builds the history benchmark (release) and prints the cost of storing a
# round: as smd-host does it (BM_HostStoresRound: poll_cpu_us is the polling
# thread's CPU per round, all_cpu_us the whole process's, the writer thread's
# batches included), and one round per transaction (BM_StoreRound); then the
# time of plot queries over 30 days of rounds a second. The first run writes that database (old schema, then upgraded) into
# the build folder and prints how long both took; later runs reuse it.
#   scripts/bench-history.sh [extra Google Benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=build-bench-history
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLOR_BUILD_BENCH=ON \
  -DPLOR_BUILD_TESTS=OFF -DPLOR_BUILD_TOOLS=ON -DPLOR_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc)" --target history_bench
"$build/bench/history_bench" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true "$@"
