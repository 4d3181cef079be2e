#!/usr/bin/env bash
# scripts/board/install.sh on made-up bundles: what a board's installation
# goes through (upgrade, rollback, a damaged copy, a run cut short). The real
# bundle on a board root under qemu is scripts/board-deploy.sh's.
#   install_test.sh INSTALL_SH
set -euo pipefail
install_sh=$(realpath "$1")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/install-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/opt/smd-host
failures=0
check() {  # check WHAT COMMAND...: COMMAND must succeed
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

# bundle NAME CONTENT: an unpacked bundle whose module holds CONTENT.
bundle() {
  local dir=$scratch/$1
  mkdir -p "$dir/lib"
  printf '%s' "$2" >"$dir/plor_sps.so"
  printf 'lib %s' "$2" >"$dir/lib/libjsoncpp.so.25"
  cp "$install_sh" "$dir/install.sh"
  (cd "$dir" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | xargs sha256sum >SHA256SUMS)
}
module() { cat "$prefix/$1/plor_sps.so"; }
ino() { stat -c %i "$prefix/$1/plor_sps.so"; }

bundle a one; bundle b two; bundle c three
"$scratch/a/install.sh" "$prefix" >/dev/null
check "first install: the bundle's files" diff -r "$scratch/a" "$prefix/current/"
check "first install: nothing before it" test ! -e "$prefix/previous"
held=$(ino current)
"$scratch/b/install.sh" "$prefix" >/dev/null
check "upgrade: the new module current" test "$(module current)" = two
check "upgrade: the old file untouched, not written over" test "$(ino previous)" = "$held"
check "upgrade: the old module kept as previous" test "$(module previous)" = one
out=$("$scratch/b/install.sh" "$prefix")
check "the same bundle again changes nothing" test "$(module previous)" = one
check "  and says so" grep -q 'already' <<<"$out"
"$scratch/a/install.sh" --rollback "$prefix" >/dev/null
check "rollback: the previous module back" test "$(module current)" = one
check "rollback: the one rolled back from kept" test "$(module previous)" = two
"$scratch/c/install.sh" "$prefix" >/dev/null
check "two versions kept, older ones removed" test "$(ls "$prefix/releases" | wc -l)" = 2

# A run cut short leaves a temporary copy and link; the next run clears them.
mkdir -p "$prefix/releases/.deadbeef0000.tmp"
ln -s releases/nowhere "$prefix/.current.new"
bundle d four
"$scratch/d/install.sh" "$prefix" >/dev/null
check "after a run cut short: installs" test "$(module current)" = four
check "  and leaves no leftovers" test -z "$(ls -A "$prefix/releases" | grep tmp)"

# A damaged bundle is refused and the installation stays as it was.
bundle e five
printf 'x' >>"$scratch/e/plor_sps.so"
check "damaged bundle refused" bash -c '! "$0" "$1" 2>/dev/null' "$scratch/e/install.sh" "$prefix"
check "  current unchanged" test "$(module current)" = four
rm -rf "$scratch/norollback"
check "rollback with nothing before refused" \
  bash -c '! "$0" --rollback "$1" 2>/dev/null' "$install_sh" "$scratch/norollback"
check "no PREFIX: usage, exit 2" bash -c '"$0" >/dev/null 2>&1; [ $? -eq 2 ]' "$install_sh"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
