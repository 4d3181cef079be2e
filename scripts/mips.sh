#!/usr/bin/env bash
# The board's build: installs what is missing (cross compiler, qemu-user,
# mipsel libraries), cross-builds the module and smd-host in build-mips
# (size-optimised), runs the whole test suite under qemu-mipsel, then checks
# the deployable module: what it asks of the board (scripts/board-check.sh,
# which fails above the board's library floor) and that it exports the same
# symbols as the native one. Last, the bundle for the board
# (scripts/board-bundle.sh).
#   scripts/mips.sh [--build-dir DIR] [-- extra cmake options]
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

build=build-mips
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "mips.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
jobs=$(nproc)

scripts/setup.sh mips

# smd-host goes to the board for commissioning; parts of it that a board
# has no use for are switched off here (add their options to this list).
board_options=(-DPLOR_BUILD_TOOLS=ON -DPLOR_BUILD_TESTS=ON -DPLOR_BUILD_BENCH=OFF
               -DPLOR_BUILD_FUZZ=OFF -DPLOR_SANITIZE= -DPLOR_BUILD_HTTP=ON)
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mipsel-linux-gnu.cmake" \
  "${board_options[@]}" "$@" >/dev/null
cmake --build "$build" -j "$jobs"

echo "== tests under qemu-mipsel"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
# A skipped test says why in its own output; show it here too.
log="$build/Testing/Temporary/LastTest.log"
if [ -f "$log" ] && grep -q ': Skipped$' "$log"; then
  echo "skipped under emulation:"
  awk '/^\[ RUN +\] / {name = $NF} want {print "  " name ": " $0; want = 0} /: Skipped$/ {want = 1}' "$log"
fi

module="$build/plor_sps.so"
echo "== $module"
cat "$build/host-layout.txt"
check=$(scripts/board-check.sh "$module") || { echo "$check"; exit 1; }
echo "$check"
if echo "$check" | grep -q '^stripped:.*ABOVE THE GOAL'; then
  echo "mips.sh: the stripped module is above its size goal" >&2
  exit 1
fi
header=$(mipsel-linux-gnu-readelf -h "$module")
echo "$header" | grep -q 'Class: *ELF32' &&
  echo "$header" | grep -q 'little endian' &&
  echo "$header" | grep -q 'Machine: *MIPS' &&
  echo "$header" | grep -q 'Type: *DYN' ||
  { echo "mips.sh: $module is not a 32-bit little-endian MIPS shared object" >&2; exit 1; }

# The native module for comparison: the plain build's if there is one.
native=build
if [ ! -f "$native/CMakeCache.txt" ]; then
  native="$build-native"
  cmake -S . -B "$native" -G Ninja -DPLOR_BUILD_TESTS=OFF -DPLOR_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$native" --target plor_sps -j "$jobs" >/dev/null
# Global ones only: MIPS keeps some local symbols in the dynamic table too.
exports() { "$1" -D --defined-only --format=posix "$2" | awk '$2 ~ /^[A-Z]$/ {print $1}' | sort; }
if ! diff <(exports nm "$native/plor_sps.so") <(exports mipsel-linux-gnu-nm "$module") >/dev/null; then
  echo "mips.sh: exported symbols differ (< native, > mipsel):" >&2
  diff <(exports nm "$native/plor_sps.so") <(exports mipsel-linux-gnu-nm "$module") >&2 || true
  exit 1
fi
echo "exports: the same $(exports mipsel-linux-gnu-nm "$module" | wc -l) symbols as $native/plor_sps.so"
echo "smd-host for the board: $build/smd-host ($(mipsel-linux-gnu-readelf -d "$build/smd-host" |
  sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '))"
bundle=$(scripts/board-bundle.sh --build-dir "$build")
echo "$bundle" | head -n 1
echo "mips.sh: done in $(( $(date +%s) - start )) s"
