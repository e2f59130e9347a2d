#!/usr/bin/env bash
# Builds both Windows programs in release form and writes the packages:
#   dist/SorvikFpgaUpdate-<version>-win32.zip, ...-win64.zip  (program, user
#     guide, and the trace kit in trace/: the trace library of the same
#     architecture, the trace reader and a short README)
#   dist/SHA256SUMS
# The same commit gives the same bytes wherever and whenever it is built.
# Nothing of the simulated unit goes into a package: beside the program a
# SiUSBXp.dll or an image file would be taken for the real thing.
#
#   scripts/package.sh [--build-root DIR] [--dist DIR] [--no-setup]
# --build-root: where the build folders release-win32 and release-win64 go
# (default build/); --dist: where the packages go (default dist/);
# --no-setup: skip scripts/setup.sh (the tools are known to be there).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

build_root=build
dist=dist
setup=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build-root) build_root=$2; shift 2 ;;
    --dist) dist=$2; shift 2 ;;
    --no-setup) setup=0; shift ;;
    *) echo "package.sh: unknown argument $1 (see the head of this script)" >&2; exit 2 ;;
  esac
done

[ $setup = 1 ] && bash scripts/setup.sh

# The version the program shows in its window.
version=$(sed -n 's/.*TextIntroVersion\[\] = L"Version: \([^"]*\)".*/\1/p' app/texts.cpp)
[ -n "$version" ] || { echo "package.sh: no version text in app/texts.cpp" >&2; exit 1; }

# Every entry of a zip carries the commit's date: fixed for a commit, and
# meaningful to whoever unpacks it.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  echo "package.sh: note: the work tree has changes that are not committed; the packages hold them"
fi

programs=()
for arch in win32 win64; do
  case $arch in
    win32) toolchain=cmake/mingw-i686.cmake ;;
    win64) toolchain=cmake/mingw-x86_64.cmake ;;
  esac
  dir=$build_root/release-$arch
  echo "== build the $arch program in release form ($dir)"
  cmake -S "$source_dir" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir" --target SorvikFpgaUpdate trace_dll -j2
  programs+=(--program "$arch=$dir/app/SorvikFpgaUpdate.exe" --trace-library "$arch=$dir/trace/SiUSBXp.dll")
done

echo "== packages in $dist"
python3 release/package.py --version "$version" --date "$SOURCE_DATE_EPOCH" \
  --guide docs/user-guide.md --trace-reader tools/trace --trace-readme release/trace-README.txt \
  --out "$dist" "${programs[@]}"
ls -l "$dist"
