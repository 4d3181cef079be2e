#!/usr/bin/env bash
# The main job: install what is missing, build, then run the plug-in the way
# a site's host does, on a simulated board and supply: the mains fail and come
# back (alarms raised and cleared) and one register write goes to the supply.
#   scripts/run.sh [smd-host options, e.g. --json or --verbose]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh run
# The main job needs no test framework: a first configure leaves the tests
# out; a build folder that scripts/test.sh set up keeps its settings.
if [ -f build/CMakeCache.txt ]; then
  cmake -S . -B build >/dev/null
else
  cmake -S . -B build -G Ninja -DPLOR_BUILD_TESTS=OFF >/dev/null
fi
cmake --build build -j "$(nproc)" --target smd-host

exec build/smd-host --simulate mains-failure --rounds 20 "$@"
