#!/usr/bin/env bash
# What a built module asks of the board, and whether the board has it.
#
# Against a floor typed in: architecture and ISA level, float ABI, NEEDED
# libraries, the highest GLIBC_, GLIBCXX_ and CXXABI_ versions it requires
# (with the symbols that require more than the floor), its exported symbols
# and its stripped size beside the size goal (80 KB; a size above it is
# named, not refused). Exits with 1 when a required version is above the floor.
#   scripts/board-check.sh [--glibc 2.2] [--glibcxx 3.4.21] [--cxxabi 1.3.9] [--size-goal BYTES] MODULE
# The floor may also come from BOARD_GLIBC, BOARD_GLIBCXX and BOARD_CXXABI,
# the goal from BOARD_SIZE_GOAL.
# Defaults: what a board with GCC 5's libstdc++ and any C library since 2.2
# offers. STRIP names the strip program (default: the one matching the
# module's machine, else strip).
#
# Against the board itself: its root filesystem, or a copy of its library
# folders (lib/, usr/lib/, ... and etc/ld.so.conf if it has one):
#   scripts/board-check.sh --board-root DIR [--lib-dir DIR]... MODULE...
# Finds every NEEDED library as the board's loader would (RUNPATH, the
# folders of etc/ld.so.conf, the default folders), and every version each
# loaded object asks for (GLIBC_, GLIBCXX_, CXXABI_, GCC_, ...) in the
# library that must define it. One line per problem, "MODULE: ok"
# otherwise; exits with 1 on a problem. --lib-dir names a folder here
# whose libraries go along with the module (searched first, as
# LD_LIBRARY_PATH would be).
# READELF names the readelf (default: readelf, else mipsel-linux-gnu-readelf).
set -euo pipefail

glibc="${BOARD_GLIBC:-2.2}"
glibcxx="${BOARD_GLIBCXX:-3.4.21}"
cxxabi="${BOARD_CXXABI:-1.3.9}"
size_goal="${BOARD_SIZE_GOAL:-81920}"
module=""
board_root=""
modules=()
lib_dirs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --board-root) board_root="$2"; shift 2 ;;
    --lib-dir) lib_dirs+=("$2"); shift 2 ;;
    --glibc) glibc="$2"; shift 2 ;;
    --glibcxx) glibcxx="$2"; shift 2 ;;
    --cxxabi) cxxabi="$2"; shift 2 ;;
    --size-goal) size_goal="$2"; shift 2 ;;
    -*) echo "board-check.sh: unknown option $1" >&2; exit 2 ;;
    *) module="$1"; modules+=("$1"); shift ;;
  esac
done

# --- against a board's root filesystem ---------------------------------

# A path inside the board's root, symlinks followed as the board would
# (an absolute link points into the root, not into this machine); prints
# the path here, or fails when nothing is there.
in_root() {
  local rest="${1#/}" cur="" part target hops=0
  while [ -n "$rest" ]; do
    part="${rest%%/*}"
    if [ "$part" = "$rest" ]; then rest=""; else rest="${rest#*/}"; fi
    case "$part" in
      "" | .) continue ;;
      ..) cur="${cur%/*}"; continue ;;
    esac
    if [ -L "$board_root$cur/$part" ]; then
      hops=$((hops + 1))
      [ "$hops" -le 40 ] || return 1
      target=$(readlink "$board_root$cur/$part")
      case "$target" in /*) cur="" ;; esac
      rest="${target#/}${rest:+/$rest}"
    else
      cur="$cur/$part"
    fi
  done
  [ -e "$board_root$cur" ] && echo "$board_root$cur"
}

# The folders etc/ld.so.conf names, includes followed.
conf_dirs=()
read_conf() {
  local file="$1" depth="$2" line pat f d
  [ "$depth" -lt 8 ] && [ -f "$file" ] || return 0
  while IFS= read -r line || [ -n "$line" ]; do
    line="${line%%#*}"
    read -r -a words <<<"${line//[,:]/ }"
    [ "${#words[@]}" -gt 0 ] || continue
    case "${words[0]}" in
      include)
        for pat in "${words[@]:1}"; do
          case "$pat" in /*) ;; *) pat="/etc/$pat" ;; esac
          for f in $board_root$pat; do read_conf "$f" $((depth + 1)); done
        done ;;
      hwcap) ;;
      *) for d in "${words[@]}"; do conf_dirs+=("R${d%%=*}"); done ;;
    esac
  done <"$file"
}

# One object's dynamic section and versions, as lines: "machine M",
# "class C", "interp P", "needed N", "runpath P", "rpath P",
# "def VERSION", "need FILE VERSION WEAK".
elf_facts() {
  "$readelf" -h -l -d -V -W "$1" 2>/dev/null | awk '
    /^ *Machine:/ { sub(/^ *Machine: */, ""); print "machine " $0 }
    /^ *Class:/ { print "class " $2 }
    /Requesting program interpreter:/ { sub(/.*interpreter: */, ""); sub(/\]$/, ""); print "interp " $0 }
    /\(NEEDED\)/ { s = $0; sub(/.*\[/, "", s); sub(/\].*/, "", s); print "needed " s }
    /\(RUNPATH\)/ { s = $0; sub(/.*\[/, "", s); sub(/\].*/, "", s); print "runpath " s }
    /\(RPATH\)/ { s = $0; sub(/.*\[/, "", s); sub(/\].*/, "", s); print "rpath " s }
    /^Version definition section/ { sec = "d"; next }
    /^Version needs section/ { sec = "n"; next }
    /^Version symbols section/ { sec = ""; next }
    sec == "d" && /Rev:/ && !/Flags: BASE/ { s = $0; sub(/.*Name: */, "", s); print "def " s }
    sec == "n" && /File:/ { f = $0; sub(/.*File: */, "", f); sub(/ .*/, "", f) }
    sec == "n" && /Name:/ { n = $0; sub(/.*Name: */, "", n); sub(/ .*/, "", n)
                            print "need " f " " n " " ($0 ~ /Flags: WEAK/ ? 1 : 0) }'
}

fact() { sed -n "s/^$1 //p" <<<"$2"; }

# Folders as "R/path" (in the board's root) or "H/path" (here); an object's
# RUNPATH or RPATH with $ORIGIN as the loader would read it.
path_dirs() {
  local list="$1" origin="$2" d
  local IFS=:
  for d in $list; do
    d="${d//\$\{ORIGIN\}/\$ORIGIN}"
    case "$d" in
      \$ORIGIN*) echo "${origin}${d#\$ORIGIN}" ;;
      /*) echo "R$d" ;;
    esac
  done
}

# Facts of one file, read once.
declare -A facts_cache=()
facts_of() {
  [ -n "${facts_cache[$1]+x}" ] || facts_cache["$1"]=$(elf_facts "$1")
  facts="${facts_cache[$1]}"
}

# A library of the module's machine and class by NEEDED name, searched in
# the folders given: sets found_where ("R/path-in-root" or "H/path-here")
# and found_host (the file here); else wrong names one for another machine.
find_lib() {
  local name="$1" d p
  shift
  wrong=""
  for d in "$@"; do
    case "$d" in
      R*) p=$(in_root "${d#R}/$name") || continue ;;
      H*) p="${d#H}/$name" ;;
    esac
    [ -f "$p" ] || continue
    facts_of "$p"
    if [ "$(fact machine "$facts")" != "$want_machine" ] || [ "$(fact class "$facts")" != "$want_class" ]; then
      wrong="$d/$name"
      continue
    fi
    found_where="$d/$name"
    found_host="$p"
    return 0
  done
  return 1
}

# Where an object is, for the lines: its path on the board, or here.
shown() { case "$1" in R*) echo "${1#R}" ;; H*) echo "${1#H}" ;; esac; }

board_check() {
  [ -d "$board_root" ] || { echo "board-check.sh: --board-root $board_root is not a folder" >&2; return 2; }
  [ "${#modules[@]}" -gt 0 ] || { echo "usage: board-check.sh --board-root DIR [--lib-dir DIR]... MODULE..." >&2; return 2; }
  shown_root="$board_root"
  board_root="${board_root%/}"
  local m
  for m in "${modules[@]}"; do
    [ -f "$m" ] || { echo "board-check.sh: no module $m" >&2; return 2; }
  done
  read_conf "$board_root/etc/ld.so.conf" 0

  local total=0
  for m in "${modules[@]}"; do
    local triplet defaults=() extra=() queue=() problems=0
    facts_of "$m"
    want_machine=$(fact machine "$facts")
    want_class=$(fact class "$facts")
    case "$want_machine" in
      *MIPS*) triplet=mipsel-linux-gnu ;;
      *X86-64*) triplet=x86_64-linux-gnu ;;
      *AArch64*) triplet=aarch64-linux-gnu ;;
      *ARM*) triplet=arm-linux-gnueabihf ;;
      *) triplet="" ;;
    esac
    [ -n "$triplet" ] && defaults+=("R/lib/$triplet" "R/usr/lib/$triplet")
    [ "$want_class" = ELF64 ] && defaults+=("R/lib64" "R/usr/lib64")
    defaults+=("R/lib" "R/usr/lib")
    local d
    for d in "${lib_dirs[@]+"${lib_dirs[@]}"}"; do extra+=("H$(cd "$d" && pwd)"); done

    local interp
    interp=$(fact interp "$facts")
    if [ -n "$interp" ] && ! in_root "$interp" >/dev/null; then
      echo "missing:  the loader $interp (asked by $m)"
      problems=$((problems + 1))
    fi

    # Breadth first, as the loader goes; each object once.
    declare -A seen=()
    queue=("H$(cd "$(dirname "$m")" && pwd)/$(basename "$m")|$m")
    seen["$(realpath "$m")"]=1
    local i=0
    while [ "$i" -lt "${#queue[@]}" ]; do
      local item="${queue[$i]}" where host label ofacts origin dirs=() n lp
      i=$((i + 1))
      where="${item%%|*}"
      host="${item#*|}"
      if [ "$i" -eq 1 ]; then label="$m"; else label=$(shown "$where"); fi
      facts_of "$host"
      ofacts="$facts"
      origin="${where%/*}"
      # RPATH counts only without RUNPATH; --lib-dir as LD_LIBRARY_PATH.
      if [ -z "$(fact runpath "$ofacts")" ]; then
        mapfile -t -O "${#dirs[@]}" dirs < <(path_dirs "$(fact rpath "$ofacts")" "$origin")
      fi
      dirs+=("${extra[@]+"${extra[@]}"}")
      mapfile -t -O "${#dirs[@]}" dirs < <(path_dirs "$(fact runpath "$ofacts")" "$origin")
      dirs+=("${conf_dirs[@]+"${conf_dirs[@]}"}" "${defaults[@]}")
      declare -A where_is=()
      while read -r n; do
        [ -n "$n" ] || continue
        if ! find_lib "$n" "${dirs[@]}"; then
          if [ -n "$wrong" ]; then
            echo "missing:  $n, needed by $label (only $(shown "$wrong") is there, for another machine)"
          else
            echo "missing:  $n, needed by $label: not in the board's library folders"
          fi
          problems=$((problems + 1))
          continue
        fi
        where_is["$n"]="$found_host"
        lp=$(realpath "$found_host")
        if [ -z "${seen[$lp]:-}" ]; then
          seen["$lp"]=1
          queue+=("$found_where|$found_host")
        fi
      done < <(fact needed "$ofacts")
      # Each version asked for, in the library that must define it.
      local file version weak have highest
      while read -r file version weak; do
        [ -n "$file" ] && [ -n "${where_is[$file]:-}" ] && [ "$weak" = 0 ] || continue
        facts_of "${where_is[$file]}"
        have=$(fact def "$facts")
        grep -qxF "$version" <<<"$have" && continue
        highest=$(grep "^${version%_*}_" <<<"$have" | sort -V | tail -1)
        echo "too old:  $file lacks $version, needed by $label (the board's goes up to ${highest:-no ${version%_*}_ version})"
        problems=$((problems + 1))
      done < <(fact need "$ofacts")
      unset where_is
    done
    unset seen
    [ "$problems" -eq 0 ] && echo "$m: ok ($((${#queue[@]} - 1)) libraries found on $shown_root)"
    total=$((total + problems))
  done
  if [ "$total" -gt 0 ]; then
    echo "board-check.sh: $total problem$([ "$total" -eq 1 ] || echo s) on $shown_root" >&2
    return 1
  fi
}

readelf="${READELF:-}"
if [ -z "$readelf" ]; then
  if command -v readelf >/dev/null 2>&1; then readelf=readelf; else readelf=mipsel-linux-gnu-readelf; fi
fi

if [ -n "$board_root" ]; then
  board_check
  exit $?
fi
[ -n "$module" ] && [ -f "$module" ] || { echo "usage: board-check.sh [--glibc V] [--glibcxx V] [--cxxabi V] [--size-goal BYTES] MODULE" >&2; echo "       board-check.sh --board-root DIR [--lib-dir DIR]... MODULE..." >&2; exit 2; }

header=$("$readelf" -h "$module")
field() { echo "$header" | sed -n "s/^ *$1: *//p"; }
machine=$(field Machine)
class=$(field Class)
data=$(field Data)
echo "module:    $module"
echo "machine:   $machine, $class, $data"

case "$machine" in
  *MIPS*)
    abi=$("$readelf" -A "$module")
    isa=$(echo "$abi" | sed -n 's/^ISA: *//p')
    fp=$(echo "$abi" | sed -n 's/^FP ABI: *//p')
    echo "ISA level: ${isa:-unknown} (flags: $(field Flags))"
    echo "float ABI: ${fp:-unknown}"
    cross=mipsel-linux-gnu-
    ;;
  *)
    isa=$("$readelf" -n "$module" 2>/dev/null | sed -n 's/^ *x86 ISA needed: *//p')
    echo "ISA level: ${isa:-not recorded}"
    echo "float ABI: $("$readelf" -A "$module" 2>/dev/null | sed -n 's/^ *Tag_ABI_VFP_args: *//p' | head -1 || true)"
    cross=""
    ;;
esac
echo "needed:    $("$readelf" -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"

# Undefined dynamic symbols with their version: "name@VERSION".
undefined=$("$readelf" --dyn-syms -W "$module" | awk '$7 == "UND" && $8 ~ /@/ {print $8}')

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

exports=$("$readelf" --dyn-syms -W "$module" |
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
