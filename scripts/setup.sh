#!/usr/bin/env bash
# Installs everything the build, the tests and the main job need on Debian 12.
# Runs as root (or through sudo); says exactly what is missing when it cannot.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev nlohmann-json3-dev
  clang libclang-rt-14-dev valgrind
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 xvfb xauth xdotool imagemagick python3 python3-markdown chromium
  python3-pefile osslsigncode openssl
)
foreign=(wine32:i386)

missing=()
for p in "${packages[@]}" "${foreign[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: not root and no sudo; as root run: apt-get install ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q || { echo "setup: apt-get update failed" >&2; exit 1; }
if ! $sudo apt-get install -y -q "${missing[@]}"; then
  echo "setup: could not install: ${missing[*]}" >&2
  echo "setup: on Debian 12 run as root: dpkg --add-architecture i386 && apt-get update && apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "setup: done"
