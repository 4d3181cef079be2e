#!/usr/bin/env bash
# What a built module asks of the board, and whether the board has it:
# architecture and ISA level, float ABI, NEEDED libraries, the highest
# GLIBC_, GLIBCXX_ and CXXABI_ versions it requires (with the symbols that
# require more than the floor), its exported symbols and its stripped size
# beside the size goal (80 KB; a size above it is named, not refused).
# Exits with 1 when a required version is above the floor.
#   scripts/board-check.sh [--glibc 2.2] [--glibcxx 3.4.21] [--cxxabi 1.3.9] [--size-goal BYTES] MODULE
# The floor may also come from BOARD_GLIBC, BOARD_GLIBCXX and BOARD_CXXABI,
# the goal from BOARD_SIZE_GOAL.
# Defaults: what a board with GCC 5's libstdc++ and any C library since 2.2
# offers. STRIP names the strip program (default: the one matching the
# module's machine, else strip).
set -euo pipefail

glibc="${BOARD_GLIBC:-2.2}"
glibcxx="${BOARD_GLIBCXX:-3.4.21}"
cxxabi="${BOARD_CXXABI:-1.3.9}"
size_goal="${BOARD_SIZE_GOAL:-81920}"
module=""
while [ $# -gt 0 ]; do
  case "$1" in
    --glibc) glibc="$2"; shift 2 ;;
    --glibcxx) glibcxx="$2"; shift 2 ;;
    --cxxabi) cxxabi="$2"; shift 2 ;;
    --size-goal) size_goal="$2"; shift 2 ;;
    -*) echo "board-check.sh: unknown option $1" >&2; exit 2 ;;
    *) module="$1"; shift ;;
  esac
done
[ -n "$module" ] && [ -f "$module" ] || { echo "usage: board-check.sh [--glibc V] [--glibcxx V] [--cxxabi V] [--size-goal BYTES] MODULE" >&2; exit 2; }

header=$(readelf -h "$module")
field() { echo "$header" | sed -n "s/^ *$1: *//p"; }
machine=$(field Machine)
class=$(field Class)
data=$(field Data)
echo "module:    $module"
echo "machine:   $machine, $class, $data"

case "$machine" in
  *MIPS*)
    abi=$(readelf -A "$module")
    isa=$(echo "$abi" | sed -n 's/^ISA: *//p')
    fp=$(echo "$abi" | sed -n 's/^FP ABI: *//p')
    echo "ISA level: ${isa:-unknown} (flags: $(field Flags))"
    echo "float ABI: ${fp:-unknown}"
    cross=mipsel-linux-gnu-
    ;;
  *)
    isa=$(readelf -n "$module" 2>/dev/null | sed -n 's/^ *x86 ISA needed: *//p')
    echo "ISA level: ${isa:-not recorded}"
    echo "float ABI: $(readelf -A "$module" 2>/dev/null | sed -n 's/^ *Tag_ABI_VFP_args: *//p' | head -1 || true)"
    cross=""
    ;;
esac
echo "needed:    $(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"

# Undefined dynamic symbols with their version: "name@VERSION".
undefined=$(readelf --dyn-syms -W "$module" | awk '$7 == "UND" && $8 ~ /@/ {print $8}')

# Highest version of one family, and the symbols above the floor.
failed=0
check() {
  local family="$1" floor="$2" versions highest over
  versions=$(echo "$undefined" | sed -n "s/.*@${family}_\([0-9.]*\).*/\1/p" | sort -uV)
  if [ -z "$versions" ]; then
    printf 'requires:  %-16s nothing\n' "${family}_"
    return
  fi
  highest=$(echo "$versions" | tail -1)
  if [ "$(printf '%s\n%s\n' "$floor" "$highest" | sort -V | tail -1)" = "$floor" ]; then
    printf 'requires:  %-16s floor %s_%s: ok\n' "${family}_$highest" "$family" "$floor"
    return
  fi
  printf 'requires:  %-16s floor %s_%s: ABOVE THE FLOOR, from\n' "${family}_$highest" "$family" "$floor"
  while read -r v; do
    [ "$(printf '%s\n%s\n' "$floor" "$v" | sort -V | tail -1)" = "$floor" ] && continue
    echo "$undefined" | awk -F@ -v want="${family}_$v" '$2 == want {print $1}' | c++filt |
      sed "s/^/             ${family}_$v  /"
  done <<<"$versions"
  failed=1
}
check GLIBC "$glibc"
check GLIBCXX "$glibcxx"
check CXXABI "$cxxabi"

exports=$(readelf --dyn-syms -W "$module" |
  awk '$7 != "UND" && $7 != "Ndx" && ($5 == "GLOBAL" || $5 == "WEAK") && $8 != "" {sub(/@.*/, "", $8); print $8}' |
  sort -u)
echo "exports:   $(echo "$exports" | grep -c . || true) symbols"
echo "$exports" | c++filt | sed 's/^/  /'

strip="${STRIP:-}"
if [ -z "$strip" ]; then
  if [ -n "$cross" ] && command -v "${cross}strip" >/dev/null 2>&1; then strip="${cross}strip"; else strip=strip; fi
fi
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
"$strip" --strip-all -o "$tmp" "$module"
stripped=$(stat -c %s "$tmp")
verdict=ok
[ "$stripped" -le "$size_goal" ] || verdict="ABOVE THE GOAL"
echo "stripped:  $stripped bytes ($(stat -c %s "$module") as built), goal at most $size_goal: $verdict"

if [ "$failed" -ne 0 ]; then
  echo "board-check.sh: $module needs more than the board's floor (GLIBC_$glibc, GLIBCXX_$glibcxx, CXXABI_$cxxabi)" >&2
  exit 1
fi
