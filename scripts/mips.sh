#!/usr/bin/env bash
# The board's build: installs what is missing (cross compiler, qemu-user,
# mipsel libraries), cross-builds in build-mips, runs the whole test suite
# under qemu-mipsel, then checks the deployable module: a 32-bit MIPS shared
# object exporting the same symbols as the native one, and its stripped size.
#   scripts/mips.sh [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

build=build-mips
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    *) echo "mips.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
jobs=$(nproc)

scripts/setup.sh --mips

# The tools need target builds of more libraries and are not deployed.
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mipsel-linux-gnu.cmake" \
  -DPLOR_BUILD_TOOLS=OFF -DPLOR_BUILD_BENCH=OFF -DPLOR_BUILD_FUZZ=OFF \
  -DPLOR_SANITIZE= >/dev/null
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
header=$(mipsel-linux-gnu-readelf -h "$module")
echo "$header" | grep -E '^ *(Class|Data|Type|Machine|Flags):'
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
exports() { "$1" -D --defined-only --format=posix "$2" | awk '{print $1}' | sort; }
if ! diff <(exports nm "$native/plor_sps.so") <(exports mipsel-linux-gnu-nm "$module") >/dev/null; then
  echo "mips.sh: exported symbols differ (< native, > mipsel):" >&2
  diff <(exports nm "$native/plor_sps.so") <(exports mipsel-linux-gnu-nm "$module") >&2 || true
  exit 1
fi
echo "exports: the same $(exports mipsel-linux-gnu-nm "$module" | wc -l) symbols as $native/plor_sps.so"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$module" "$tmp/plor_sps.so"
mipsel-linux-gnu-strip --strip-all "$tmp/plor_sps.so"
echo "stripped size: $(stat -c %s "$tmp/plor_sps.so") bytes (unstripped $(stat -c %s "$module"))"
echo "mips.sh: done in $(( $(date +%s) - start )) s"
