#!/usr/bin/env bash
# Builds both Windows programs in release form and writes the packages:
#   dist/SorvikFpgaUpdate-<version>-win32.zip, ...-win64.zip  (program, user
#     guide, and the trace kit in trace/: the trace library of the same
#     architecture, the trace reader and a short README)
#   dist/SHA256SUMS
# The same commit gives the same bytes wherever and whenever it is built.
# Given a certificate, it signs the programs and trace libraries before it
# zips them (Authenticode, SHA-256), with the commit's date as signing time,
# so the same commit and certificate give the same signed bytes:
#   SORVIK_SIGN_PKCS12=FILE          the certificate and its private key
#   SORVIK_SIGN_PASSWORD_FILE=FILE   the key's password, if it has one
#   SORVIK_SIGN_TIMESTAMP_URL=URL    a time-stamp server (RFC 3161) to ask
#                                    instead; the signed files then differ
#                                    from build to build
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

# The signing command's options, or none: the zips are then unsigned.
sign=()
if [ -n "${SORVIK_SIGN_PKCS12:-}" ]; then
  command -v osslsigncode >/dev/null || { echo "package.sh: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 1; }
  [ -f "$SORVIK_SIGN_PKCS12" ] || { echo "package.sh: SORVIK_SIGN_PKCS12: no file $SORVIK_SIGN_PKCS12" >&2; exit 1; }
  sign=(-pkcs12 "$SORVIK_SIGN_PKCS12" -h sha256 -n "SORVIK FPGA Update")
  if [ -n "${SORVIK_SIGN_PASSWORD_FILE:-}" ]; then
    [ -f "$SORVIK_SIGN_PASSWORD_FILE" ] || { echo "package.sh: SORVIK_SIGN_PASSWORD_FILE: no file $SORVIK_SIGN_PASSWORD_FILE" >&2; exit 1; }
    sign+=(-readpass "$SORVIK_SIGN_PASSWORD_FILE")
  fi
  if [ -n "${SORVIK_SIGN_TIMESTAMP_URL:-}" ]; then
    sign+=(-ts "$SORVIK_SIGN_TIMESTAMP_URL")
    echo "package.sh: signing with a time stamp from $SORVIK_SIGN_TIMESTAMP_URL: the signed files will differ from another build's"
  else
    sign+=(-time "$SOURCE_DATE_EPOCH")
    echo "package.sh: signing with $SORVIK_SIGN_PKCS12, signing time $SOURCE_DATE_EPOCH (the commit's)"
  fi
else
  for setting in SORVIK_SIGN_PASSWORD_FILE SORVIK_SIGN_TIMESTAMP_URL; do
    [ -z "${!setting:-}" ] || { echo "package.sh: $setting is set but SORVIK_SIGN_PKCS12 is not: nothing to sign with" >&2; exit 1; }
  done
  echo "package.sh: no certificate (SORVIK_SIGN_PKCS12): the zips are unsigned"
fi

# The signed copy of a built file in DIR (the build keeps the unsigned one,
# so a second run signs the same bytes again); without a certificate, the
# built file itself.
signed() {  # signed FILE DIR
  if [ ${#sign[@]} -eq 0 ]; then
    echo "$1"
    return
  fi
  mkdir -p "$2"
  rm -f "$2/$(basename "$1")"
  osslsigncode sign "${sign[@]}" -in "$1" -out "$2/$(basename "$1")" >&2 || {
    echo "package.sh: signing $1 failed" >&2; return 1; }
  echo "$2/$(basename "$1")"
}

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
  program=$(signed "$dir/app/SorvikFpgaUpdate.exe" "$dir/signed/app")
  library=$(signed "$dir/trace/SiUSBXp.dll" "$dir/signed/trace")
  programs+=(--program "$arch=$program" --trace-library "$arch=$library")
done

echo "== packages in $dist"
# The system Python: Debian's python3-markdown is installed for it.
/usr/bin/python3 release/package.py --version "$version" --date "$SOURCE_DATE_EPOCH" \
  --guide docs/user-guide.md --trace-reader tools/trace --trace-readme release/trace-README.txt \
  --out "$dist" "${programs[@]}"
ls -l "$dist"
