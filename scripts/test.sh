#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the test suite.
#   scripts/test.sh                       the plain build, in build/
#   scripts/test.sh --sanitize address,undefined [--build-dir DIR]
#   scripts/test.sh --compiler clang
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
sanitize=""
cxx=""
cc=""
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-dir) build="$2"; shift 2 ;;
    --compiler)
      case "$2" in clang) cc=clang; cxx=clang++ ;; gcc) cc=gcc; cxx=g++ ;; *) echo "unknown compiler $2" >&2; exit 2 ;; esac
      shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "test.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

if [ "$cc" = clang ]; then scripts/setup.sh test clang; else scripts/setup.sh test; fi

args=(-S . -B "$build" -G Ninja -DPLOR_BUILD_TESTS=ON -DPLOR_SANITIZE="$sanitize")
[ -n "$cxx" ] && args+=(-DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx")
cmake "${args[@]}" "${extra[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
