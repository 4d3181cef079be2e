#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, and
# nothing that is already there. Works as root or through sudo.
#   scripts/setup.sh          native build, tests, tools
#   scripts/setup.sh --mips   also the mipsel cross toolchain and qemu-user
set -euo pipefail

packages=(cmake ninja-build g++ clang pkg-config libclang-rt-14-dev
          libjsoncpp-dev libboost-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev libmodbus-dev libsqlite3-dev sqlite3 socat)
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

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "$mips" -eq 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    as_root dpkg --add-architecture mipsel
    updated_arch=1
  fi
  for p in g++-mipsel-linux-gnu qemu-user libjsoncpp-dev:mipsel libmodbus-dev:mipsel; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
fi

if [ "${#missing[@]}" -gt 0 ] || [ -n "${updated_arch:-}" ]; then
  echo "setup.sh: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  [ "${#missing[@]}" -gt 0 ] && as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
exit 0
