#!/usr/bin/env bash
# Installs, from Debian's packages, what the named jobs need and is missing.
# Works as root or through sudo; apt's progress stays out of the output.
#   scripts/setup.sh run      build and run smd-host (scripts/run.sh)
#   scripts/setup.sh test     also the test suite (scripts/test.sh)
#   scripts/setup.sh clang    also clang and its sanitizer runtimes
#   scripts/setup.sh bench    the benchmarks;  fuzz  the fuzzers
#   scripts/setup.sh mips     the board: mipsel cross toolchain, qemu-user, target libraries
#   scripts/setup.sh old-sdk  building the older board's SDK from source (scripts/old-sdk.sh)
#   scripts/setup.sh board-root  a pristine board root and the board job (scripts/board-rootfs.sh, scripts/board-deploy.sh)
# Several groups may be given; none means run, test, clang, bench and fuzz.
set -euo pipefail

# One group per line; a job's extra package joins its group's line.
declare -A groups=(
  [run]="cmake ninja-build g++ pkg-config libjsoncpp-dev libboost-dev libmodbus-dev libsqlite3-dev libmicrohttpd-dev libjs-chart.js"
  [test]="googletest libgtest-dev libgmock-dev sqlite3 socat python3-pymodbus python3-serial-asyncio chromium chromium-driver python3-selenium prometheus"
  [clang]="clang libclang-rt-14-dev"
  [bench]="libbenchmark-dev libcpp-httplib-dev"
  [fuzz]="clang libclang-rt-14-dev"
  [mips]="g++-mipsel-linux-gnu qemu-user libjsoncpp-dev:mipsel dpkg-dev make"
  [board-root]="debootstrap qemu-user curl"
  [old-sdk]="dpkg-dev gawk bison rsync autoconf automake libtool libgmp-dev libmpfr-dev libmpc-dev zlib1g-dev tcl python3 xz-utils cmake ninja-build gcc-mipsel-linux-gnu qemu-user"
)
# Groups that need others.
declare -A implies=([test]="run" [clang]="run" [bench]="run" [fuzz]="run" [mips]="run test")

wanted=()
for arg in "$@"; do
  name="${arg#--}"   # --mips is the older spelling
  [ -n "${groups[$name]+x}" ] || { echo "setup.sh: unknown group $arg" >&2; exit 2; }
  wanted+=("$name")
done
[ "${#wanted[@]}" -gt 0 ] || wanted=(run test clang bench fuzz)
for g in "${wanted[@]}"; do
  for i in ${implies[$g]:-}; do wanted+=("$i"); done
done
mips=0
for g in "${wanted[@]}"; do [ "$g" = mips ] && mips=1; done

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else echo "setup.sh: need root or sudo to install: $*" >&2; exit 1
  fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Quiet apt: errors still reach standard error, progress and lists do not.
apt_quiet() {
  local log
  log=$(mktemp)
  if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0 \
      -o APT::Color=0 "$@" >"$log" 2>&1; then
    cat "$log" >&2; rm -f "$log"; return 1
  fi
  rm -f "$log"
}

missing=()
declare -A seen=()
for g in "${wanted[@]}"; do
  for p in ${groups[$g]}; do
    [ -n "${seen[$p]+x}" ] && continue
    seen[$p]=1
    installed "$p" || missing+=("$p")
  done
done

# Target libraries (runtime package, development package, pkg-config name),
# unpacked under mips_root, where cmake/mipsel-linux-gnu.cmake looks for them.
mips_libs=("libmodbus5 libmodbus-dev libmodbus" "libsqlite3-0 libsqlite3-dev sqlite3")
mips_root=/opt/plor-mipsel
update=0
build_mhd=0
unpack=()
if [ "$mips" -eq 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    as_root dpkg --add-architecture mipsel
    update=1
  fi
  for pair in "${mips_libs[@]}"; do
    set -- $pair
    installed "$2:mipsel" || [ -e "$mips_root/usr/lib/mipsel-linux-gnu/pkgconfig/$3.pc" ] ||
      unpack+=("$pair")
  done
  [ -e "$mips_root/usr/lib/mipsel-linux-gnu/pkgconfig/libmicrohttpd.pc" ] || build_mhd=1
fi

if [ "${#missing[@]}" -gt 0 ] || [ "$update" -eq 1 ] || [ "${#unpack[@]}" -gt 0 ]; then
  apt_quiet update
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup.sh: installing ${missing[*]}"
  apt_quiet install --no-install-recommends "${missing[@]}"
fi

for pair in "${unpack[@]}"; do
  set -- $pair
  # Unpacked, not installed: a -dev package of a foreign architecture drags
  # in that architecture's libc6-dev and friends, which cannot co-install
  # with the native ones whenever the native side has a newer security
  # build. The cross toolchain brings its own libc headers anyway.
  echo "setup.sh: unpacking $1 and $2 for mipsel into $mips_root"
  tmp=$(mktemp -d)
  chmod 0777 "$tmp"
  (cd "$tmp" && apt-get download -qq "$1:mipsel" "$2:mipsel")
  as_root mkdir -p "$mips_root"
  for deb in "$tmp"/*.deb; do as_root dpkg -x "$deb" "$mips_root"; done
  rm -rf "$tmp"
  as_root sed -i "s|^prefix=/usr\$|prefix=$mips_root/usr|" \
    "$mips_root/usr/lib/mipsel-linux-gnu/pkgconfig/$3.pc"
done

# libmicrohttpd for the board's dashboard, built from Debian 12's source with
# the cross compiler and without TLS: Debian's binary package needs GnuTLS
# and its companions, about 9 MB on the board for an HTTPS the dashboard does
# not serve; this build is one library of about 150 KB that needs only libc.
# The source comes through an APT configuration of its own (deb-src lines
# for the mirror this machine's APT already uses); the system's is untouched.
if [ "$build_mhd" -eq 1 ]; then
  echo "setup.sh: building libmicrohttpd for mipsel (no TLS) into $mips_root"
  tmp=$(mktemp -d)
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' |
    awk '$2 == "bookworm" {print $1; exit}')
  [ -n "$mirror" ] || { echo "setup.sh: no Debian 12 (bookworm) mirror in APT's sources" >&2; exit 1; }
  apt=$tmp/apt
  mkdir -p "$apt"/{etc/sources.list.d,etc/preferences.d,etc/apt.conf.d,state/lists/partial,cache/archives/partial}
  : >"$apt/state/status"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main" \
    >"$apt/etc/sources.list"
  printf '%s\n' "Dir::Etc \"$apt/etc\";" "Dir::Etc::sourcelist \"$apt/etc/sources.list\";" \
    "Dir::Etc::sourceparts \"$apt/etc/sources.list.d\";" \
    "Dir::Etc::preferencesparts \"$apt/etc/preferences.d\";" "Dir::Etc::parts \"$apt/etc/apt.conf.d\";" \
    "Dir::State \"$apt/state\";" "Dir::State::status \"$apt/state/status\";" \
    "Dir::Cache \"$apt/cache\";" 'APT::Sandbox::User "root";' >"$apt/apt.conf"
  (
    set -e
    cd "$tmp"
    APT_CONFIG=$apt/apt.conf apt-get -qq update
    APT_CONFIG=$apt/apt.conf apt-get -qq source --download-only libmicrohttpd
    dpkg-source -x libmicrohttpd_*.dsc src
    mkdir build && cd build
    ../src/configure --host=mipsel-linux-gnu --build="$(gcc -dumpmachine)" \
      --prefix="$mips_root/usr" --libdir="$mips_root/usr/lib/mipsel-linux-gnu" \
      --disable-https --without-gnutls --disable-static --disable-doc --disable-examples \
      --disable-curl --disable-nls CFLAGS="-Os -g0 -march=mips32r2"
    make -j"$(nproc)" -C src/microhttpd
    as_root make -C src/microhttpd install
    as_root make -C src/include install
    as_root make install-pkgconfigDATA
    as_root rm -f "$mips_root/usr/lib/mipsel-linux-gnu/libmicrohttpd.la"
  ) >"$tmp/log" 2>&1 || { tail -n 30 "$tmp/log" >&2; rm -rf "$tmp"; exit 1; }
  rm -rf "$tmp"
fi
exit 0
