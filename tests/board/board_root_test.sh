#!/usr/bin/env bash
# scripts/board-check.sh --board-root against fake boards made of this
# toolchain's own target libraries: complete, one library missing, one too
# old, one reached through ld.so.conf and a link as boards have them, and a
# link that only resolves on the build machine.
#   board_root_test.sh CC MODULE        (exit 77: no fake board to be had here)
set -uo pipefail
cc="$1"
module=$(realpath "$2")
check="$(cd "$(dirname "$0")/../.." && pwd)/scripts/board-check.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

machine=$(readelf -h "$module" | sed -n 's/^ *Machine: *//p')
case "$machine" in
  *MIPS*) triplet=mipsel-linux-gnu ;;
  *X86-64*) triplet=x86_64-linux-gnu ;;
  *) echo "no fake board for $machine"; exit 77 ;;
esac
sources=()
for f in libc.so.6 libstdc++.so.6; do
  p=$("$cc" -print-file-name="$f")
  [ "$p" != "$f" ] && sources+=("$(dirname "$p")")
done
sysroot=$("$cc" -print-sysroot 2>/dev/null || true)
for d in "/usr/$triplet/lib" "/lib/$triplet" "/usr/lib/$triplet" "/opt/plor-mipsel/usr/lib/$triplet"; do
  sources+=("$sysroot$d")
done
[ -n "$sysroot" ] && sources+=("$sysroot/lib" "$sysroot/usr/lib")

# The module's libraries, and theirs, as files in full/usr/lib/TRIPLET.
lib=usr/lib/$triplet
mkdir -p "$work/full/$lib"
ln -s usr/lib "$work/full/lib"
copy_closure() {
  local n s
  for n in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$work/full/$lib/$n" ] && continue
    for s in "${sources[@]}"; do
      [ -f "$s/$n" ] || continue
      cp -L "$s/$n" "$work/full/$lib/$n"
      copy_closure "$work/full/$lib/$n"
      continue 2
    done
    echo "no $n for $triplet here"
    exit 77
  done
}
copy_closure "$module"
[ -f "$work/full/$lib/libjsoncpp.so.25" ] || { echo "the module needs no libjsoncpp.so.25"; exit 77; }

# A libstdc++.so.6 that stops short of the newest GLIBCXX_ (else CXXABI_)
# version the module asks of it, as an older one does.
asked=$(readelf -V -W "$module" | awk '/File:/ {f = $0 ~ /File: libstdc\+\+\.so\.6/}
                                        f && /Name:/ {sub(/.*Name: */, ""); print $1}')
family=GLIBCXX_
grep -q "^$family" <<<"$asked" || family=CXXABI_
newest=$(grep "^$family" <<<"$asked" | sort -V | tail -1)
[ -n "$newest" ] || { echo "the module asks no version of libstdc++.so.6"; exit 77; }
echo 'void plor_stub(void) {}' >"$work/stub.c"
prev=""
for v in $(readelf -V -W "$work/full/$lib/libstdc++.so.6" | sed -n '/^Version definition/,/^Version needs/p' |
           grep 'Rev:' | grep -v BASE | sed 's/.*Name: *//'); do
  case "$v" in "$family"*) [ "$(printf '%s\n%s\n' "$newest" "$v" | sort -V | head -1)" = "$newest" ] && continue ;; esac
  if [ -z "$prev" ]; then echo "$v { global: plor_stub; local: *; };"; else echo "$v { } $prev;"; fi
  prev="$v"
done >"$work/stub.map"
"$cc" -shared -nostdlib -fPIC -Wl,--version-script="$work/stub.map" -Wl,-soname,libstdc++.so.6 \
  -o "$work/old-libstdc++.so.6" "$work/stub.c" || exit 1

setup_missing() { rm "$lib/libjsoncpp.so.25"; }
setup_old() { cp "$work/old-libstdc++.so.6" "$lib/libstdc++.so.6"; }
setup_vendor() {
  mkdir -p opt/vendor/lib etc/ld.so.conf.d
  mv "$lib/libjsoncpp.so.25" opt/vendor/lib/libjsoncpp.so.1.9.5
  ln -s /opt/vendor/lib/libjsoncpp.so.1.9.5 opt/vendor/lib/libjsoncpp.so.25
  echo "include /etc/ld.so.conf.d/*.conf" >etc/ld.so.conf
  printf '# vendor\n/opt/vendor/lib\n' >etc/ld.so.conf.d/vendor.conf
}
# An absolute link to where this machine has the library: on the board it
# points into the board's own root, where nothing is.
setup_escape() {
  local real
  real=$(readlink -f "/usr/lib/$triplet/libjsoncpp.so.25")
  [ -f "$real" ] || real=$(readlink -f "/usr/$triplet/lib/libjsoncpp.so.25")
  rm "$lib/libjsoncpp.so.25"
  ln -s "$real" "$lib/libjsoncpp.so.25"
}

failed=0
# name | exit status | a line the check prints
while IFS='|' read -r name rc line; do
  if [ "$name" != full ]; then
    cp -a "$work/full" "$work/$name"
    (cd "$work/$name" && "setup_$name") || exit 1
  fi
  out=$("$check" --board-root "$work/$name" "$module" 2>&1)
  got=$?
  if [ "$got" != "$rc" ] || ! grep -qF -- "$line" <<<"$out"; then
    echo "FAIL $name: wanted exit $rc and '$line', got exit $got:"
    echo "$out" | sed 's/^/    /'
    failed=1
  else
    echo "ok   $name: $(grep -F -- "$line" <<<"$out")"
  fi
done <<EOF2
full|0|$module: ok
missing|1|missing:  libjsoncpp.so.25, needed by $module: not in the board's library folders
old|1|too old:  libstdc++.so.6 lacks $newest, needed by $module
vendor|0|$module: ok
escape|1|missing:  libjsoncpp.so.25, needed by $module
EOF2
exit "$failed"
