#!/usr/bin/env bash
# Builds an SDK for an older board: a userland equal to Debian 11's (glibc
# 2.31, libstdc++ 6.0.28) and the cross compiler that goes with it (gcc 10.2,
# binutils 2.35), plus jsoncpp, libmodbus and SQLite built with it. Everything
# comes from Debian 11's source packages, fetched through a private APT
# configuration (the system's APT setup is not touched): the package mirror
# carries no mipsel binaries of that release.
#   scripts/old-sdk.sh [--cache DIR] [--jobs N]
# The SDK goes to DIR (default $PLOR_OLD_SDK, else /var/cache/plor-old-sdk):
#   DIR/toolchain/bin/mipsel-linux-gnu-{gcc,g++,...}   the cross compiler
#   DIR/sysroot                                         the board's userland
# Each step leaves a stamp and a log in DIR; a second run resumes after the
# last finished step. DIR/complete appears only once all steps are done
# (scripts/old-board.sh and CI use the SDK only then). About an hour of two
# idle cores; run it niced beside other work.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$PWD

cache=${PLOR_OLD_SDK:-/var/cache/plor-old-sdk}
jobs=$(nproc)
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    *) echo "old-sdk.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

target=mipsel-linux-gnu
tc=$cache/toolchain
sysroot=$cache/sysroot
src=$cache/src
bld=$cache/build
stamps=$cache/stamps
logs=$cache/logs
mkdir -p "$tc" "$sysroot" "$src" "$bld" "$stamps" "$logs"
export PATH="$tc/bin:$PATH"
# Reproducible archives and no locale surprises in the builds' output.
export LC_ALL=C

# step NAME FUNCTION: runs FUNCTION once; its output goes to logs/NAME.log.
step() {
  local name="$1" fn="$2" start
  if [ -f "$stamps/$name" ]; then
    echo "  $name: done before ($(cat "$stamps/$name") s)"
    return
  fi
  echo "  $name ..."
  start=$(date +%s)
  # Not under `if`: there bash would ignore set -e inside the step.
  local rc=0
  set +e
  ( set -euo pipefail; "$fn" ) >"$logs/$name.log" 2>&1
  rc=$?
  set -e
  if [ "$rc" -ne 0 ]; then
    echo "old-sdk.sh: step $name failed; the end of $logs/$name.log:" >&2
    tail -n 40 "$logs/$name.log" >&2
    exit 1
  fi
  echo $(( $(date +%s) - start )) >"$stamps/$name"
  echo "  $name: $(cat "$stamps/$name") s"
}

# Source packages through an APT configuration of our own (Debian 11's; a
# second one with Debian 12's for what the mirror no longer has of 11).
apt_private() {
  local dir="$cache/apt/$1"; shift
  APT_CONFIG="$dir/apt.conf" apt-get -q -o APT::Color=0 "$@"
}
apt_setup() {
  local dir="$cache/apt/$1" suite="$2" key=/usr/share/keyrings/debian-archive-keyring.gpg
  mkdir -p "$dir"/{etc/sources.list.d,etc/preferences.d,etc/apt.conf.d,state/lists/partial,cache/archives/partial}
  : >"$dir/state/status"
  printf '%s\n' \
    "deb-src [signed-by=$key] http://deb.debian.org/debian $suite main" \
    "deb-src [signed-by=$key] http://deb.debian.org/debian-security $suite-security main" \
    >"$dir/etc/sources.list"
  printf '%s\n' \
    "Dir::Etc \"$dir/etc\";" \
    "Dir::Etc::sourcelist \"$dir/etc/sources.list\";" \
    "Dir::Etc::sourceparts \"$dir/etc/sources.list.d\";" \
    "Dir::Etc::preferencesparts \"$dir/etc/preferences.d\";" \
    "Dir::Etc::parts \"$dir/etc/apt.conf.d\";" \
    "Dir::State \"$dir/state\";" \
    "Dir::State::status \"$dir/state/status\";" \
    "Dir::Cache \"$dir/cache\";" \
    'APT::Sandbox::User "root";' >"$dir/apt.conf"
  apt_private "$1" update
}
# The mirror lacks some files of Debian 11's source packages (those no later
# release shares); the upstream tarball alone is enough where it came.
fetch_sources() {
  apt_setup bullseye bullseye
  apt_setup bookworm bookworm
  mkdir -p "$src/debian"
  cd "$src/debian"
  local pkg
  for pkg in binutils glibc gcc-10 linux libmodbus sqlite3 libjsoncpp; do
    apt_private bullseye source --download-only "$pkg" || true
  done
  # jsoncpp 1.9.4 is gone altogether; Debian 12's 1.9.5 has the same API.
  ls libjsoncpp_*.orig.tar.* >/dev/null 2>&1 ||
    apt_private bookworm source --download-only libjsoncpp
  for pkg in binutils glibc libmodbus sqlite3 libjsoncpp; do unpack "$pkg"; done
  ls gcc-10_*.orig.tar.xz linux_*.orig.tar.xz
}
# Debian's tree (its patches applied) when the whole source package came,
# else the upstream tarball.
unpack() {
  local name="$1" dsc orig
  rm -rf "${src:?}/$name"
  dsc=$(ls "${name}"_*.dsc 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$dsc" ] && dpkg-source -x "$dsc" "$src/$name"; then
    echo "$name: $dsc with Debian's patches"
    return
  fi
  rm -rf "${src:?}/$name"
  orig=$(ls "${name}"_*.orig.tar.* | grep -v '\.orig-' | sort -V | tail -n 1)
  mkdir -p "$src/$name"
  tar -xf "$orig" -C "$src/$name" --strip-components=1
  echo "$name: upstream $orig"
}

srcdir() { echo "$src/$1"; }

build_binutils() {
  rm -rf "$bld/binutils"; mkdir -p "$bld/binutils"; cd "$bld/binutils"
  "$(srcdir binutils)/configure" --target=$target --prefix="$tc" --with-sysroot="$sysroot" \
    --disable-nls --disable-werror --disable-gdb --disable-gprof --disable-gold \
    --disable-multilib --enable-deterministic-archives --disable-plugins
  make -j"$jobs" MAKEINFO=true
  make install MAKEINFO=true
}

# The kernel's user-space headers, as linux-libc-dev would carry them.
kernel_headers() {
  local orig
  orig=$(ls "$src/debian"/linux_*.orig.tar.xz | sort | tail -n 1)
  rm -rf "$src/linux"; mkdir -p "$src/linux"
  tar -xJf "$orig" -C "$src/linux" --strip-components=1
  make -C "$src/linux" ARCH=mips INSTALL_HDR_PATH="$sysroot/usr" headers_install
  rm -rf "$src/linux"
}

# glibc's headers before the compiler is built, so that gcc sees the C library
# it will target (its limits.h and the glibc-dependent choices). Installing
# headers compiles nothing of the library, so Debian 12's cross compiler may
# configure this one step.
glibc_headers() {
  rm -rf "$bld/glibc-headers"; mkdir -p "$bld/glibc-headers"; cd "$bld/glibc-headers"
  glibc_configparms
  CC=/usr/bin/$target-gcc CXX=/usr/bin/$target-g++ "$(srcdir glibc)/configure" --host=$target \
    --build="$(gcc -dumpmachine)" --prefix=/usr --with-headers="$sysroot/usr/include" \
    --enable-kernel=3.2 --disable-werror --disable-crypt
  make install-headers install_root="$sysroot" install-bootstrap-headers=yes
  rm -rf "$bld/glibc-headers"
}

# Debian's layout: multiarch folders, the loader in /lib.
glibc_configparms() {
  cat >configparms <<EOF
slibdir=/lib/$target
rtlddir=/lib
libdir=/usr/lib/$target
EOF
}

unpack_gcc() {
  local orig inner
  orig=$(ls "$src/debian"/gcc-10_*.orig.tar.xz | sort | tail -n 1)
  rm -rf "$src/gcc-outer" "$src/gcc"; mkdir -p "$src/gcc-outer" "$src/gcc"
  tar -xJf "$orig" -C "$src/gcc-outer" --wildcards '*/gcc-*-dfsg.tar.xz'
  inner=$(find "$src/gcc-outer" -name 'gcc-*-dfsg.tar.xz' | head -n 1)
  tar -xJf "$inner" -C "$src/gcc" --strip-components=1
  rm -rf "$src/gcc-outer"
  # Upstream gives a 32-bit MIPS compiler without multilibs no multiarch
  # folder; Debian's does (lib/mipsel-linux-gnu), and the sysroot uses it.
  printf '%s\n' 'MIPS_EL = $(if $(filter %el, $(firstword $(subst -, ,$(target)))),el)' \
    'MULTIARCH_DIRNAME = $(call if_multiarch,mips$(MIPS_EL)-linux-gnu)' \
    >"$src/gcc/gcc/config/mips/t-multiarch32"
  sed -i 's|^\t\ttmake_file="${tmake_file} mips/t-linux64"$|&\n\telse\n\t\ttmake_file="${tmake_file} mips/t-multiarch32"|' \
    "$src/gcc/gcc/config.gcc"
  grep -q 'mips/t-multiarch32' "$src/gcc/gcc/config.gcc"
}

# Debian 11's configuration of its mipsel compiler, less what nothing here
# uses (other languages, sanitizers, OpenMP, LTO, precompiled headers).
gcc_compiler() {
  # The longest step: an interrupted run goes on where it stopped.
  if [ -f "$bld/gcc/config.status" ]; then
    cd "$bld/gcc"
    make -j"$jobs" all-gcc MAKEINFO=true
    no_docs
    make install-gcc MAKEINFO=true
    return
  fi
  rm -rf "$bld/gcc"; mkdir -p "$bld/gcc"; cd "$bld/gcc"
  # Only the compilers' own speed matters here: no debug information.
  CFLAGS=-O2 CXXFLAGS=-O2 CFLAGS_FOR_TARGET=-O2 CXXFLAGS_FOR_TARGET=-O2 \
  "$src/gcc/configure" --target=$target --prefix="$tc" --with-sysroot="$sysroot" \
    --enable-languages=c,c++ --with-arch=mips32r2 --with-fp-32=xx --with-madd4=no \
    --with-lxc1-sxc1=no --enable-multiarch --disable-multilib --with-glibc-version=2.31 \
    --enable-shared --enable-threads=posix --enable-__cxa_atexit --enable-clocale=gnu \
    --enable-libstdcxx-time=yes --enable-gnu-unique-object --enable-linker-build-id \
    --enable-default-pie --enable-symvers=gnu --disable-libstdcxx-pch --disable-nls \
    --disable-bootstrap --disable-werror --disable-lto --disable-libsanitizer \
    --disable-libgomp --disable-libquadmath --disable-libitm --disable-libvtv \
    --disable-libssp --with-system-zlib
  make -j"$jobs" all-gcc MAKEINFO=true
  no_docs
  make install-gcc MAKEINFO=true
}

# Debian's source carries no GCC manuals (they are not free enough for its
# main archive), so the check of the target-hook manual cannot run: mark it
# done.
no_docs() { touch "$bld/gcc/gcc/s-tm-texi"; }

# The C library's start files and a stand-in libc.so, enough to build libgcc.
glibc_start_files() {
  rm -rf "$bld/glibc"; mkdir -p "$bld/glibc"; cd "$bld/glibc"
  glibc_configparms
  CC=$target-gcc CXX=$target-g++ "$(srcdir glibc)/configure" --host=$target \
    --build="$(gcc -dumpmachine)" --prefix=/usr --with-headers="$sysroot/usr/include" \
    --enable-kernel=3.2 --disable-werror --disable-crypt --enable-stack-protector=strong \
    --disable-profile --without-selinux
  make -j"$jobs" csu/subdir_lib
  local lib=$sysroot/usr/lib/$target
  mkdir -p "$lib"
  install -m 644 csu/crt1.o csu/crti.o csu/crtn.o "$lib"
  $target-gcc -nostdlib -nostartfiles -shared -x c /dev/null -o "$lib/libc.so"
}

gcc_libgcc() {
  cd "$bld/gcc"
  make -j"$jobs" all-target-libgcc
  make install-target-libgcc
}

glibc_library() {
  cd "$bld/glibc"
  rm -f "$sysroot/usr/lib/$target/libc.so"
  make -j"$jobs"
  make install install_root="$sysroot"
  relative_links
}

# Links within the sysroot point within it: qemu-mipsel -L and the build
# machine would follow an absolute one out of it.
relative_links() {
  local link target
  find "$sysroot" -type l | while read -r link; do
    target=$(readlink "$link")
    case "$target" in
      /*) ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link" ;;
    esac
  done
}

gcc_final() {
  cd "$bld/gcc"
  make -j"$jobs" MAKEINFO=true
  no_docs
  make install MAKEINFO=true
  # The board's userland carries the compiler's run-time libraries, as
  # Debian's libstdc++6 and libgcc-s1 do.
  local lib
  relative_links
  for lib in libstdc++.so.6 libgcc_s.so.1 libatomic.so.1; do
    find "$tc/$target" -name "$lib*" ! -name '*.py' -exec cp -a {} "$sysroot/usr/lib/$target/" \;
    [ -e "$sysroot/usr/lib/$target/$lib" ]
  done
  rm -rf "$bld/gcc"
}

# The libraries' builds use the new compiler and see only the sysroot.
cross_env() {
  export CC=$target-gcc CXX=$target-g++ AR=$target-ar RANLIB=$target-ranlib STRIP=$target-strip
  export PKG_CONFIG_SYSROOT_DIR=$sysroot
  export PKG_CONFIG_LIBDIR=$sysroot/usr/lib/$target/pkgconfig:$sysroot/usr/share/pkgconfig
  export CFLAGS="-O2 -g0" CXXFLAGS="-O2 -g0" BUILD_CC=gcc CC_FOR_BUILD=gcc
}

lib_jsoncpp() {
  cross_env
  cat >"$bld/cross.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER $tc/bin/$target-gcc)
set(CMAKE_CXX_COMPILER $tc/bin/$target-g++)
set(CMAKE_SYSROOT $sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
  rm -rf "$bld/jsoncpp"
  cmake -S "$(srcdir libjsoncpp)" -B "$bld/jsoncpp" -DCMAKE_TOOLCHAIN_FILE="$bld/cross.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/$target \
    -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF \
    -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON -DJSONCPP_WITH_CMAKE_PACKAGE=ON
  cmake --build "$bld/jsoncpp" -j"$jobs"
  DESTDIR=$sysroot cmake --install "$bld/jsoncpp"
  rm -rf "$bld/jsoncpp"
}

# autotools libraries: configure for the board, install into the sysroot.
autotools_configure() {
  local dir="$1"; shift
  rm -rf "$bld/$dir"; mkdir -p "$bld/$dir"; cd "$bld/$dir"
  # A tarball cut from the repository (libmodbus's) has no configure yet.
  [ -x "$(srcdir "$dir")/configure" ] || (cd "$(srcdir "$dir")" && autoreconf -fi)
  "$(srcdir "$dir")/configure" --host=$target --build="$(gcc -dumpmachine)" --prefix=/usr \
    --libdir=/usr/lib/$target --disable-static "$@"
}
autotools_install() {
  make -j"$jobs"
  make install DESTDIR="$sysroot"
  rm -f "$sysroot/usr/lib/$target/"*.la
  rm -rf "${bld:?}/$1"
}
lib_modbus() {
  cross_env
  autotools_configure libmodbus --without-documentation --disable-tests
  autotools_install libmodbus
}
lib_sqlite() {
  cross_env
  autotools_configure sqlite3 --disable-tcl --disable-readline --enable-threadsafe
  # Its parser generator runs on the build machine, but this release's
  # makefile builds it with the target's compiler: build it first.
  gcc -O2 -o lemon "$(srcdir sqlite3)/tool/lemon.c"
  cp "$(srcdir sqlite3)/tool/lempar.c" .
  autotools_install sqlite3
}

# The C library works on its userland: GCC 12 builds this glibc so that
# sscanf("2026", "%4d") reads nothing; GCC 10's must read 2026.
check_libc() {
  mkdir -p "$bld/check"; cd "$bld/check"
  printf '%s\n' '#include <stdio.h>' \
    'int main(void) { int y = 0; int n = sscanf("2026", "%4d", &y);' \
    '  printf("%d %d\n", n, y); return !(n == 1 && y == 2026); }' >check.c
  $target-gcc -o check check.c
  qemu-mipsel -L "$sysroot" ./check
}

summary() {
  echo "SDK in $cache:"
  echo "  compiler: $("$tc/bin/$target-gcc" --version | head -n 1) ($tc/bin/$target-)"
  echo "  $("$tc/bin/$target-ld" --version | head -n 1)"
  echo "  sysroot:  $sysroot"
  local lib=$sysroot/usr/lib/$target f
  for f in "$sysroot/lib/$target"/libc-*.so "$lib"/libstdc++.so.6.* "$lib"/libjsoncpp.so.* \
           "$lib"/libmodbus.so.* "$lib"/libsqlite3.so.*; do
    [ -L "$f" ] || [ ! -e "$f" ] || echo "    ${f#"$sysroot"}"
  done
  local total=0 s
  for s in "$stamps"/*; do total=$(( total + $(cat "$s") )); done
  echo "  built in $total s ($(( total / 60 )) min) of steps; $(du -sh "$cache" | cut -f1) on disk"
}

"$tree/scripts/setup.sh" old-sdk
start=$(date +%s)
echo "old-sdk.sh: building into $cache with $jobs jobs"
rm -f "$cache/complete"
step 01-sources fetch_sources
step 02-binutils build_binutils
step 03-kernel-headers kernel_headers
step 04-glibc-headers glibc_headers
step 05-gcc-unpack unpack_gcc
step 06-gcc-compiler gcc_compiler
step 07-glibc-start-files glibc_start_files
step 08-libgcc gcc_libgcc
step 09-glibc glibc_library
step 10-gcc-final gcc_final
step 11-jsoncpp lib_jsoncpp
step 12-libmodbus lib_modbus
step 13-sqlite lib_sqlite
step 14-check check_libc
rm -rf "$bld"
touch "$cache/complete"
echo "old-sdk.sh: this run took $(( $(date +%s) - start )) s"
summary
