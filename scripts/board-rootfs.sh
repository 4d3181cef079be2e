#!/usr/bin/env bash
# A pristine Debian 12 mipsel root filesystem, made once into a cache: what a
# freshly installed Debian-like board carries and nothing of ours. The board
# job (scripts/board-deploy.sh) installs the bundle on a copy of it.
#   scripts/board-rootfs.sh [--cache DIR]
# DIR defaults to $PLOR_BOARD_ROOT, else /var/cache/plor-board-root; the root
# is DIR/root and counts as made only once DIR/complete is there.
#
# debootstrap's first stage fetches and unpacks the base system. Its second
# stage would run the packages' scripts inside the root, which needs mipsel
# programs to start through binfmt_misc; this machine has none, so the
# remaining packages are unpacked here instead and the few files their
# scripts would have made (passwd, group, the loader's cache) are made by
# hand. The package mirror is the one this machine's APT uses.
set -euo pipefail
cd "$(dirname "$0")/.."

cache=${PLOR_BOARD_ROOT:-/var/cache/plor-board-root}
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache="$2"; shift 2 ;;
    *) echo "board-rootfs.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
root=$cache/root
if [ -f "$cache/complete" ]; then
  echo "board-rootfs.sh: $root is there already (remove $cache to make it again)"
  exit 0
fi

scripts/setup.sh board-root
start=$(date +%s)
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' |
  awk '$2 == "bookworm" {print $1; exit}')
[ -n "$mirror" ] || { echo "board-rootfs.sh: no Debian 12 (bookworm) mirror in APT's sources" >&2; exit 1; }

rm -rf "$root"
mkdir -p "$cache"
echo "board-rootfs.sh: Debian 12 mipsel (minbase) into $root"
log=$cache/debootstrap.log
if ! debootstrap --foreign --arch=mipsel --variant=minbase \
     --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
     bookworm "$root" "$mirror" >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  exit 1
fi

# The second stage, as far as it goes without running mipsel programs.
for deb in "$root"/var/cache/apt/archives/*.deb; do
  dpkg-deb -x "$deb" "$root"
done
rm -f "$root"/var/cache/apt/archives/*.deb
for f in passwd group; do
  [ -e "$root/etc/$f" ] || cp "$root/usr/share/base-passwd/$f.master" "$root/etc/$f"
done
# The loader's cache, by the board's own (static) ldconfig.
qemu-mipsel "$root/sbin/ldconfig" -r "$root" 2>/dev/null || true
rm -rf "$root/debootstrap"

ls "$root/lib/ld.so.1" "$root/usr/lib/mipsel-linux-gnu/libstdc++.so.6" >/dev/null
qemu-mipsel -L "$root" "$root/bin/true"
touch "$cache/complete"
echo "board-rootfs.sh: done in $(( $(date +%s) - start )) s, $(du -sh "$root" | cut -f1)"
