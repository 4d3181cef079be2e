# Cross build for the board: 32-bit little-endian MIPS, Debian's cross
# compiler, target libraries from multiarch (/usr/lib/mipsel-linux-gnu), and
# qemu-user so that ctest runs every test program under emulation.
#   cmake -S . -B build-mips -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

# The cross libc lives here; qemu takes its loader from the same tree.
set(PLOR_MIPSEL_CROSS_ROOT /usr/mipsel-linux-gnu)
# Target packages that cannot be co-installed through multiarch (the native
# copy carries a newer security build than the mipsel archive has) are
# unpacked by scripts/setup.sh --mips under this prefix instead.
set(PLOR_MIPSEL_EXTRA_ROOT /opt/plor-mipsel)

# Searches stay on the host's paths (multiarch keeps the two architectures
# apart by directory); CMAKE_LIBRARY_ARCHITECTURE picks the mipsel ones.
list(APPEND CMAKE_PREFIX_PATH ${PLOR_MIPSEL_EXTRA_ROOT}/usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must only see target .pc files.
set(ENV{PKG_CONFIG_LIBDIR}
  "/usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig:${PLOR_MIPSEL_EXTRA_ROOT}/usr/lib/mipsel-linux-gnu/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The cross libc first: its loader must never pair with the multiarch libc,
# which is a different build of the same release.
set(_plor_target_libs
  "${PLOR_MIPSEL_CROSS_ROOT}/lib:${PLOR_MIPSEL_EXTRA_ROOT}/usr/lib/mipsel-linux-gnu:/usr/lib/mipsel-linux-gnu")
# PLOR_EMULATED tells a test that needs what qemu-user cannot give (a real
# serial device, some terminal ioctls) to skip, saying why.
set(CMAKE_CROSSCOMPILING_EMULATOR
  qemu-mipsel -L ${PLOR_MIPSEL_CROSS_ROOT} -E LD_LIBRARY_PATH=${_plor_target_libs}
  -E PLOR_EMULATED=qemu-mipsel)
