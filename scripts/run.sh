#!/usr/bin/env bash
# The main job: install what is missing, build, then run the plug-in the way
# a site's host does, on a simulated board and supply: the mains fail and come
# back (alarms raised and cleared) and one register write goes to the supply.
#   scripts/run.sh [smd-host options, e.g. --json or --verbose]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target smd-host

exec build/smd-host --simulate mains-failure --rounds 20 "$@"
