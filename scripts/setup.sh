#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, and
# nothing that is already there. Works as root or through sudo.
#   scripts/setup.sh          native build, tests, tools
#   scripts/setup.sh --mips   also the mipsel cross toolchain and qemu-user
set -euo pipefail

packages=(cmake ninja-build g++ clang pkg-config libclang-rt-14-dev
          libjsoncpp-dev libboost-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev libmodbus-dev libsqlite3-dev sqlite3 socat)
packages+=(libcpp-httplib-dev libjs-chart.js chromium chromium-driver python3-selenium prometheus)  # smd-host --http and its tests
packages+=(python3-pymodbus python3-serial-asyncio)  # the Modbus slave of the interop test
mips=0
for arg in "$@"; do
  case "$arg" in
    --mips) mips=1 ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else echo "setup.sh: need root or sudo to install: $*" >&2; exit 1
  fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

# Target libraries that multiarch cannot co-install go here (the toolchain
# file cmake/mipsel-linux-gnu.cmake looks there too).
mips_root=/opt/plor-mipsel
update=0
modbus=0
if [ "$mips" -eq 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    as_root dpkg --add-architecture mipsel
    update=1
  fi
  for p in g++-mipsel-linux-gnu qemu-user libjsoncpp-dev:mipsel; do
    installed "$p" || missing+=("$p")
  done
  if ! installed libmodbus-dev:mipsel && [ ! -e "$mips_root/usr/lib/mipsel-linux-gnu/libmodbus.so" ]; then
    modbus=1
  fi
fi

export DEBIAN_FRONTEND=noninteractive
if [ "${#missing[@]}" -gt 0 ] || [ "$update" -eq 1 ] || [ "$modbus" -eq 1 ]; then
  as_root apt-get update -qq
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup.sh: installing ${missing[*]}"
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$modbus" -eq 1 ]; then
  # Multi-Arch: same needs both architectures at one version; the native one
  # may carry a security update the mipsel archive lacks. Then unpack the
  # mipsel packages into their own prefix instead of downgrading the host.
  native=$(dpkg-query -W -f='${Version}' libmodbus5 2>/dev/null || true)
  target=$(apt-cache policy libmodbus5:mipsel | awk '/Candidate:/ {print $2}')
  if [ -z "$target" ] || [ "$target" = "(none)" ]; then
    echo "setup.sh: no libmodbus5:mipsel in the package lists" >&2; exit 1
  fi
  if [ -z "$native" ] || [ "$native" = "$target" ]; then
    echo "setup.sh: installing libmodbus-dev:mipsel"
    as_root apt-get install -y -qq --no-install-recommends libmodbus-dev:mipsel
  else
    echo "setup.sh: libmodbus $target for mipsel does not co-install with $native; unpacking it into $mips_root"
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    chmod 0777 "$tmp"
    (cd "$tmp" && apt-get download -qq "libmodbus5:mipsel=$target" "libmodbus-dev:mipsel=$target")
    as_root mkdir -p "$mips_root"
    for deb in "$tmp"/*.deb; do as_root dpkg -x "$deb" "$mips_root"; done
    as_root sed -i "s|^prefix=/usr\$|prefix=$mips_root/usr|" \
      "$mips_root/usr/lib/mipsel-linux-gnu/pkgconfig/libmodbus.pc"
  fi
fi
exit 0
