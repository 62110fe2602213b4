#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian bookworm machine,
# only when it is missing. Safe to run again; does nothing when all is there.
set -euo pipefail

packages=(
  make cmake python3 xvfb xauth unzip
  g++ binutils zlib1g-dev libzydis-dev libcapstone-dev llvm
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  libz-mingw-w64-dev googletest
  wine wine32:i386
)

need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "$need_i386" = 0 ] && [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" != 0 ]; then
  echo "bootstrap: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [ "$need_i386" = 1 ]; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
