#!/usr/bin/env bash
# The shape of tools/, checked by the suite: no file over 400 lines, and
# core/ includes nothing from the folders above it (console, history, web,
# sim, app). Prints each problem; exits 1 when there is any.
#   scripts/check-tools-layout.sh [TOOLS_DIR]
set -euo pipefail
tools="${1:-$(dirname "$0")/../tools}"
cd "$tools"
status=0
while IFS= read -r -d '' f; do
  n=$(wc -l < "$f")
  if [ "$n" -gt 400 ]; then
    echo "${f#./}: $n lines (at most 400)"
    status=1
  fi
done < <(find . -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.in' -o -name '*.py' \
  -o -name '*.js' -o -name '*.html' -o -name '*.css' -o -name '*.txt' -o -name '*.sh' \) -print0)
upper=$(cd . && ls console/*.h history/*.h web/*.h sim/*.h app/*.h 2>/dev/null | xargs -n1 basename)
while IFS= read -r line; do
  file="${line%%:*}"
  inc=$(sed -E 's/.*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<< "${line#*:}")
  base=$(basename "$inc")
  if [[ "$inc" == ../* ]] || grep -qxF "$base" <<< "$upper"; then
    echo "$file: includes \"$inc\"; core/ looks at no other folder"
    status=1
  fi
done < <(grep -HE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' core/* || true)
exit $status
