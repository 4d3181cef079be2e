#!/bin/sh
# Installs the bundle this script came in, on the board:
#   ./install.sh PREFIX             e.g. /opt/smd-host
#   ./install.sh --rollback PREFIX  back to the version installed before
# Each version goes into a folder of its own, PREFIX/releases/ID (ID from the
# bundle's checksums), copied under a temporary name, checked byte for byte
# against the bundle's SHA256SUMS and only then renamed into place. PREFIX/current
# and PREFIX/previous are links switched by rename. No file is ever written
# over: a running smd-host keeps the files it has mapped (writing into a
# mapped library crashes the process) and takes the new ones on its next
# start. Two versions are kept, the current one and the one before.
set -eu

usage() { echo "usage: $0 PREFIX | $0 --rollback PREFIX" >&2; exit 2; }
say() { echo "install.sh: $*"; }
fail() { echo "install.sh: $*" >&2; exit 1; }

# Points link NAME at TARGET by renaming a new link over it.
relink() {
  ln -s "$2" "$prefix/.$1.new"
  mv -Tf "$prefix/.$1.new" "$prefix/$1"
}

# Removes every version but the current and the previous one.
prune() {
  keep_cur=$(readlink "$prefix/current" 2>/dev/null || true)
  keep_prev=$(readlink "$prefix/previous" 2>/dev/null || true)
  for d in "$prefix"/releases/* "$prefix"/releases/.*.tmp; do
    [ -d "$d" ] || continue
    rel=releases/${d##*/}
    [ "$rel" = "$keep_cur" ] || [ "$rel" = "$keep_prev" ] || rm -rf "$d"
  done
}

rollback=0
case "${1:-}" in
  --rollback) rollback=1; shift ;;
  -*|"") usage ;;
esac
[ $# -eq 1 ] || usage
prefix=$1
case "$prefix" in /*) ;; *) prefix=$(pwd)/$prefix ;; esac

if [ "$rollback" -eq 1 ]; then
  prev=$(readlink "$prefix/previous" 2>/dev/null) || fail "no previous version in $prefix"
  [ -d "$prefix/$prev" ] || fail "$prefix/$prev is gone"
  cur=$(readlink "$prefix/current" 2>/dev/null || true)
  relink current "$prev"
  if [ -n "$cur" ]; then relink previous "$cur"; fi
  say "$prefix/current is ${prev#releases/} again (was ${cur#releases/}); restart smd-host to use it"
  exit 0
fi

src=$(cd "$(dirname "$0")" && pwd)
[ -f "$src/SHA256SUMS" ] || fail "no SHA256SUMS beside $0: not an unpacked bundle"
(cd "$src" && sha256sum -c --quiet SHA256SUMS) || fail "the bundle in $src is damaged"
id=$(sha256sum "$src/SHA256SUMS" | cut -c1-12)
rel=releases/$id

mkdir -p "$prefix/releases"
# Left over from a run that stopped half way.
rm -f "$prefix/.current.new" "$prefix/.previous.new"
if [ ! -d "$prefix/$rel" ]; then
  tmp=$prefix/releases/.$id.tmp
  rm -rf "$tmp"
  mkdir "$tmp"
  (cd "$src" && cp -R -p . "$tmp/")
  (cd "$tmp" && sha256sum -c --quiet SHA256SUMS) || fail "the copy in $tmp differs from the bundle"
  mv "$tmp" "$prefix/$rel"
fi
# On the disk before the links point at it: a board may lose power any time.
sync
cur=$(readlink "$prefix/current" 2>/dev/null || true)
if [ "$cur" = "$rel" ]; then
  say "$prefix/current is $id already"
  exit 0
fi
if [ -n "$cur" ]; then relink previous "$cur"; fi
relink current "$rel"
prune
say "$prefix/current is $id${cur:+ (previous: ${cur#releases/})}; restart smd-host to use it"
