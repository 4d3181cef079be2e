# Cross build for the board: 32-bit little-endian MIPS. After
# `scripts/setup.sh mips`, from the top of the tree:
#   cmake -S . -B build-mips -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#   cmake --build build-mips
# (scripts/mips.sh does this, runs the suite under qemu-mipsel and checks the
# module). The build type defaults to MinSizeRel.
#
# Cache variables (give them with -D on the first configure):
#   PLOR_CROSS_PREFIX  compiler prefix, with its directory if it is not on
#                      PATH: <prefix>gcc, <prefix>g++ (default mipsel-linux-gnu-,
#                      Debian's g++-mipsel-linux-gnu)
#   PLOR_SYSROOT       the board SDK's sysroot: its C library, libstdc++ and
#                      the target builds of jsoncpp, SQLite and libmodbus,
#                      in lib/ or Debian's multiarch lib/mipsel-linux-gnu/
#                      (default empty: Debian's cross libc and multiarch).
#                      Needs the SDK's own compiler: one that takes its C
#                      library from elsewhere (Debian's) is refused.
#   PLOR_MARCH         target CPU for -march (default mips32r2)
# A vendor SDK, for example:
#   cmake -S . -B build-board -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
#     -DPLOR_CROSS_PREFIX=/opt/board-sdk/bin/mipsel-linux- -DPLOR_SYSROOT=/opt/board-sdk/sysroot \
#     -DPLOR_MARCH=24kc
# (scripts/old-board.sh does this with the SDK of scripts/old-sdk.sh.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(PLOR_CROSS_PREFIX "mipsel-linux-gnu-" CACHE STRING "Cross compiler prefix (<prefix>gcc, <prefix>g++)")
set(PLOR_SYSROOT "" CACHE PATH "Board SDK sysroot; empty for Debian's cross toolchain and multiarch")
set(PLOR_MARCH "mips32r2" CACHE STRING "Target CPU (-march)")
# try_compile projects read this file again; hand them the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLOR_CROSS_PREFIX PLOR_SYSROOT PLOR_MARCH)

set(CMAKE_C_COMPILER ${PLOR_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${PLOR_CROSS_PREFIX}g++)
set(CMAKE_C_FLAGS_INIT "-march=${PLOR_MARCH}")
set(CMAKE_CXX_FLAGS_INIT "-march=${PLOR_MARCH}")

# Target packages unpacked by scripts/setup.sh (they cannot always be
# co-installed through multiarch) live under this prefix.
set(PLOR_MIPSEL_EXTRA_ROOT /opt/plor-mipsel)

if(PLOR_SYSROOT)
  # Everything of the target from the SDK; programs from the build machine.
  set(CMAKE_SYSROOT ${PLOR_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${PLOR_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  # A sysroot in Debian's layout keeps its libraries in multiarch folders.
  set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${PLOR_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR}
    "${PLOR_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${PLOR_SYSROOT}/usr/lib/pkgconfig:${PLOR_SYSROOT}/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  set(_plor_loader_root ${PLOR_SYSROOT})
  set(_plor_target_libs
    "${PLOR_SYSROOT}/lib/mipsel-linux-gnu:${PLOR_SYSROOT}/usr/lib/mipsel-linux-gnu:${PLOR_SYSROOT}/lib:${PLOR_SYSROOT}/usr/lib")
else()
  # Debian: the cross libc under /usr/mipsel-linux-gnu, other target
  # libraries from multiarch (/usr/lib/mipsel-linux-gnu) or the extra root.
  # Searches stay on the host's paths (multiarch keeps the two architectures
  # apart by directory); CMAKE_LIBRARY_ARCHITECTURE picks the mipsel ones.
  set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
  set(_plor_loader_root /usr/mipsel-linux-gnu)
  list(APPEND CMAKE_PREFIX_PATH ${PLOR_MIPSEL_EXTRA_ROOT}/usr)
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  # pkg-config must only see target .pc files.
  set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig:${PLOR_MIPSEL_EXTRA_ROOT}/usr/lib/mipsel-linux-gnu/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  # The cross libc first: its loader must never pair with the multiarch
  # libc, which is a different build of the same release.
  set(_plor_target_libs
    "/usr/mipsel-linux-gnu/lib:${PLOR_MIPSEL_EXTRA_ROOT}/usr/lib/mipsel-linux-gnu:/usr/lib/mipsel-linux-gnu")
endif()

# ctest runs every test program under qemu-user. PLOR_EMULATED tells a test
# that needs what qemu-user cannot give (a real serial device, some terminal
# ioctls) to skip, saying why.
set(CMAKE_CROSSCOMPILING_EMULATOR
  qemu-mipsel -L ${_plor_loader_root} -E LD_LIBRARY_PATH=${_plor_target_libs}
  -E PLOR_EMULATED=qemu-mipsel)
