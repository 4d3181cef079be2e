#!/usr/bin/env bash
# The older board: builds the module, the stand-in host, smd-host and the
# suite with the SDK of scripts/old-sdk.sh (glibc 2.31, gcc 10.2, libstdc++
# 6.0.28) through PLOR_CROSS_PREFIX and PLOR_SYSROOT, and runs the suite under
# qemu-mipsel on that userland alone: the build machine's own mipsel
# libraries are hidden in a mount namespace, so a library missing from the
# sysroot fails instead of being taken from Debian 12. There it also loads
# the module of the normal board build (scripts/mips.sh, build-mips), and
# checks that a module needing a newer C++ library than the board's is
# refused with the missing version named.
#   scripts/old-board.sh [--build-dir DIR] [--board-build DIR]
# The SDK is taken from $PLOR_OLD_SDK (default /var/cache/plor-old-sdk).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

sdk=${PLOR_OLD_SDK:-/var/cache/plor-old-sdk}
build=build-oldboard
board=build-mips
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --board-build) board="$2"; shift 2 ;;
    *) echo "old-board.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ ! -f "$sdk/complete" ]; then
  echo "old-board.sh: no complete SDK in $sdk; scripts/old-sdk.sh builds it (about an hour)" >&2
  exit 2
fi

# Outside the namespace: what needs the package manager.
if [ "${PLOR_OLD_BOARD_INSIDE:-}" != 1 ]; then
  scripts/setup.sh mips
  [ -f "$board/plor_sps.so" ] || scripts/mips.sh --build-dir "$board" >/dev/null
  # Debian's cross compiler with the SDK's sysroot is refused at configure time.
  refused="$build-refused"
  rm -rf "$refused"
  if out=$(cmake -S . -B "$refused" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mipsel-linux-gnu.cmake" \
        -DPLOR_SYSROOT="$sdk/sysroot" -DPLOR_BUILD_TESTS=OFF -DPLOR_BUILD_TOOLS=OFF 2>&1) ||
     ! echo "$out" | tr -s ' \n' ' ' | grep -q 'takes the C library from .* not from the sysroot'; then
    echo "$out" >&2
    echo "old-board.sh: Debian's cross compiler with PLOR_SYSROOT was not refused" >&2
    exit 1
  fi
  rm -rf "$refused"
  echo "Debian's cross compiler with the SDK's sysroot: refused at configure time"
  export PLOR_OLD_BOARD_INSIDE=1
  exec unshare -m --propagation private "$0" --build-dir "$build" --board-build "$board"
fi

# The build machine's mipsel libraries (Debian 12's) out of sight.
for dir in /usr/lib/mipsel-linux-gnu /usr/mipsel-linux-gnu /opt/plor-mipsel; do
  if [ -d "$dir" ]; then mount -t tmpfs -o ro tmpfs "$dir"; fi
done
jobs=$(nproc)
cross=$sdk/toolchain/bin/mipsel-linux-gnu-
sysroot=$sdk/sysroot
echo "SDK: $("${cross}gcc" --version | head -n 1), sysroot $sysroot"

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mipsel-linux-gnu.cmake" \
  -DPLOR_CROSS_PREFIX="$cross" -DPLOR_SYSROOT="$sysroot" \
  -DPLOR_BUILD_TOOLS=ON -DPLOR_BUILD_TESTS=ON -DPLOR_BUILD_BENCH=OFF -DPLOR_BUILD_FUZZ=OFF \
  -DPLOR_SANITIZE= >/dev/null
cmake --build "$build" -j "$jobs"

echo "== tests under qemu-mipsel on the older userland"
ctest --test-dir "$build" --output-on-failure -j "$jobs"

module="$build/plor_sps.so"
echo "== $module"
cat "$build/host-layout.txt"
STRIP="${cross}strip" scripts/board-check.sh "$module"

emulate() {
  qemu-mipsel -L "$sysroot" -E LD_LIBRARY_PATH="$sysroot/lib/mipsel-linux-gnu:$sysroot/usr/lib/mipsel-linux-gnu" \
    -E PLOR_EMULATED=qemu-mipsel "$@"
}

root=$PWD
scratch=$(mktemp -d "$root/$build/old-board.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

echo "== the normal board build's module ($board/plor_sps.so) on the older userland"
if ! (cd "$scratch" && emulate -E PLOR_SPS_MODULE="$root/$board/plor_sps.so" \
        "$root/$build/tests/plor_tests" --gtest_filter='Module*') >"$scratch/module.log" 2>&1; then
  cat "$scratch/module.log" >&2
  echo "old-board.sh: the normal board build's module fails on the older userland" >&2
  exit 1
fi
grep -E '^\[ +(PASSED|SKIPPED) +\]' "$scratch/module.log"

echo "== a module above the older userland's C++ library is refused"
raised=$(find "$root/$board" -name '*raised_floor.so' | head -n 1)
[ -n "$raised" ] || { echo "old-board.sh: no raised_floor module in $board" >&2; exit 1; }
set +e
refused=$(cd "$scratch" && emulate "$root/$build/smd-host" --simulate normal --rounds 1 --plugin "$raised" 2>&1 </dev/null)
rc=$?
set -e
missing=$(echo "$refused" | grep -o "version \`GLIBCXX_[0-9.]*' not found" | head -n 1 || true)
if [ "$rc" -eq 0 ] || [ -z "$missing" ]; then
  echo "old-board.sh: $raised was not refused for a missing C++ library version (exit $rc):" >&2
  echo "$refused" >&2
  exit 1
fi
echo "$refused" | grep -m 1 'cannot load' | sed 's/^/  /'
echo "refused, naming the missing $(echo "$missing" | grep -o 'GLIBCXX_[0-9.]*')"
echo "old-board.sh: done in $(( $(date +%s) - start )) s"
