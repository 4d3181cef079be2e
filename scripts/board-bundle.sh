#!/usr/bin/env bash
# One archive for the board: smd-host with the web front, the stand-in host
# library, the module, the libraries a Debian-like board may lack (as files),
# the scenarios, the charting library, an example site file, the service
# files and install.sh. The board's own tar unpacks it; install.sh inside
# installs it (docs/board.md).
#   scripts/board-bundle.sh [--build-dir DIR] [--module FILE] [--out FILE]
# DIR is a board build (default build-mips, made by scripts/mips.sh);
# --module ships another module than DIR/plor_sps.so; the archive goes to
# FILE (default DIR/smd-host-board.tar.gz).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-mips
module=
out=
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --module) module="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "board-bundle.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
module=${module:-$build/plor_sps.so}
out=${out:-$build/smd-host-board.tar.gz}
chart=/usr/share/javascript/chart.js/chart.min.js
readelf=mipsel-linux-gnu-readelf

for f in "$build/smd-host" "$build/host/libsmd_host.so" "$module" "$chart"; do
  [ -f "$f" ] || { echo "board-bundle.sh: $f is missing (scripts/mips.sh builds the board's files)" >&2; exit 1; }
done
if ! "$readelf" -d "$build/smd-host" | grep -q 'NEEDED.*libmicrohttpd'; then
  echo "board-bundle.sh: $build/smd-host has no web front (configure with -DPLOR_BUILD_HTTP=ON)" >&2
  exit 1
fi

stage=$(mktemp -d "$PWD/$build/bundle.XXXXXX")
trap 'rm -rf "$stage"' EXIT
top=$stage/smd-host-board
mkdir -p "$top/lib" "$top/scenarios"
cp "$build/smd-host" "$top/"
cp "$module" "$top/plor_sps.so"
cp "$build/host/libsmd_host.so" "$top/lib/"
cp examples/scenarios/*.scn "$top/scenarios/"
cp "$chart" "$top/chart.min.js"
cp examples/site.json "$top/site.json"
for f in scripts/board/smd-host.service scripts/board/smd-host.init; do
  if [ -f "$f" ]; then cp "$f" "$top/"; fi
done
cp scripts/board/install.sh "$top/"
chmod 0755 "$top/install.sh" "$top/smd-host"
if [ -f "$top/smd-host.init" ]; then chmod 0755 "$top/smd-host.init"; fi

# Every library the three programs need that is not the C or C++ runtime,
# which any board has (scripts/board-check.sh tells whether its versions do):
# the file itself under its run-time name, never a link.
libdirs=(/opt/plor-mipsel/usr/lib/mipsel-linux-gnu /usr/lib/mipsel-linux-gnu)
needed() { "$readelf" -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
for lib in $( (needed "$top/smd-host"; needed "$top/plor_sps.so"; needed "$top/lib/libsmd_host.so") | sort -u); do
  case "$lib" in
    libc.so.*|libm.so.*|libpthread.so.*|libdl.so.*|librt.so.*|ld.so.*|libstdc++.so.*|libgcc_s.so.*) continue ;;
  esac
  [ -e "$top/lib/$lib" ] && continue
  found=
  for d in "${libdirs[@]}"; do
    if [ -e "$d/$lib" ]; then found=$d/$lib; break; fi
  done
  [ -n "$found" ] || { echo "board-bundle.sh: no mipsel $lib in ${libdirs[*]}" >&2; exit 1; }
  cp -L "$found" "$top/lib/$lib"
done

(cd "$top" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
  xargs sha256sum >SHA256SUMS)
mkdir -p "$(dirname "$out")"
# ustar, owned by root: what a busybox tar on the board reads as well.
tar -C "$stage" --format=ustar --owner=0 --group=0 --numeric-owner --sort=name \
  --mtime=@"$(git log -1 --format=%ct 2>/dev/null || echo 0)" -czf "$out.tmp" smd-host-board
mv "$out.tmp" "$out"
echo "board-bundle.sh: $out ($(stat -c %s "$out") bytes; $(du -sk "$top" | cut -f1) KB unpacked)"
(cd "$top" && find . -type f ! -name SHA256SUMS | LC_ALL=C sort | xargs stat -c '  %8s  %n' | sed 's|\./||')
