#!/usr/bin/env bash
# Builds every fuzz target with clang (ASan+UBSan) and runs each for a
# bounded time from its seed corpus. Any crash fails.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/setup.sh fuzz
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DPLOR_SANITIZE=address,undefined -DPLOR_BUILD_FUZZ=ON -DPLOR_BUILD_TESTS=OFF \
  -DPLOR_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
shopt -s nullglob
ran=0
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
  echo "== fuzzing $name for ${seconds}s"
  "$build/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 "$corpus" > "$build/$name.log" 2>&1 || { tail -50 "$build/$name.log"; exit 1; }
  grep -E "^(stat::number_of_executed_units|#[0-9]+ *DONE)" "$build/$name.log" | tail -2
  ran=$((ran + 1))
done
echo "fuzzed $ran targets, no crash"
