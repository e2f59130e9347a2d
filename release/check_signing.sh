#!/usr/bin/env bash
# Signs a release with a throwaway self-signed code-signing certificate and
# fails unless: osslsigncode verifies the program and the trace library of
# both zips against that certificate, and each still holds its resources and
# version; a second signing of the same built files gives the same zips and
# SHA256SUMS byte for byte; and the signed x86_64 program, taken from its
# zip, still updates a simulated unit under Wine (the end-to-end case
# update_1a60).
#   release/check_signing.sh SOURCE_DIR BUILD_ROOT
# BUILD_ROOT: the preset builds (host tools, the win64 simulated library and
# window lister). The case runs in a Wine prefix of this check's own, so it
# shares nothing with the end-to-end cases that may run beside it.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_root=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/sorvik-signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
python=/usr/bin/python3  # the system Python, which Debian's packages serve
version=$(sed -n 's/.*TextIntroVersion\[\] = L"Version: \([^"]*\)".*/\1/p' "$source_dir/app/texts.cpp")
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 315532800)}

echo "== a throwaway code-signing certificate"
mkdir "$work/cert"
printf 'throwaway\n' >"$work/cert/password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=SORVIK throwaway test signer" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/cert/key.pem" -out "$work/cert/cert.pem" 2>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }
openssl pkcs12 -export -inkey "$work/cert/key.pem" -in "$work/cert/cert.pem" \
  -passout "file:$work/cert/password" -out "$work/cert/signer.p12"
export SORVIK_SIGN_PKCS12=$work/cert/signer.p12 SORVIK_SIGN_PASSWORD_FILE=$work/cert/password
unset SORVIK_SIGN_TIMESTAMP_URL

package() {  # package DIST: one run of package.sh into DIST, in the same build folders
  local started=$SECONDS
  bash "$source_dir/scripts/package.sh" --no-setup --build-root "$work/build" --dist "$work/$1" \
    >"$work/$1.log" 2>&1 || { cat "$work/$1.log"; echo "FAIL package.sh with a certificate"; exit 1; }
  grep -q "^package.sh: signing with " "$work/$1.log" || { cat "$work/$1.log"; echo "FAIL package.sh did not say it signs"; exit 1; }
  echo "ok   package.sh into $1 in $((SECONDS - started)) s"
}
package first
package second

failed=0
fail() { echo "FAIL $*"; failed=1; }

echo "== the signed files of both zips"
for arch in win32 win64; do
  zip=SorvikFpgaUpdate-$version-$arch.zip
  "$python" -m zipfile -e "$work/first/$zip" "$work/unpacked-$arch"
  for file in SorvikFpgaUpdate.exe trace/SiUSBXp.dll; do
    inside=$work/unpacked-$arch/${zip%.zip}/$file
    if osslsigncode verify -CAfile "$work/cert/cert.pem" -in "$inside" >"$work/verify.log" 2>&1; then
      echo "ok   $arch $file: the signature verifies against the certificate"
    else
      cat "$work/verify.log"; fail "$arch $file: the signature does not verify"
    fi
    case $file in
      *.exe) kind=program ;;
      *) kind=trace-library ;;
    esac
    "$python" "$source_dir/checks/check_resources.py" "$inside" --kind $kind || fail "$arch $file: its resources"
  done
done
if diff -r "$work/first" "$work/second"; then
  echo "ok   $(ls "$work/first" | tr '\n' ' '): the same from both signings"
else
  fail "two signings of the same files gave different packages"
fi

echo "== the signed x86_64 program updates a unit under Wine"
# The preset builds, with the signed program in place of the built one.
mkdir -p "$work/builds/win64/app" "$work/e2e"
cp "$work/unpacked-win64/SorvikFpgaUpdate-$version-win64/SorvikFpgaUpdate.exe" "$work/builds/win64/app/"
ln -s "$build_root/win64/sim" "$work/builds/win64/sim"
ln -s "$build_root/win64/trace" "$work/builds/win64/trace"
ln -s "$build_root/win64/e2e" "$work/builds/win64/e2e"
ln -s "$build_root/host" "$work/builds/host"
"$python" "$source_dir/e2e/driver.py" prefix --work "$work/e2e" >"$work/prefix.log" 2>&1 ||
  { cat "$work/prefix.log"; fail "no Wine prefix for the case"; }
if "$python" "$source_dir/e2e/driver.py" case update_1a60 --arch x86_64 --work "$work/e2e" \
     --build-root "$work/builds" >"$work/e2e.log" 2>&1; then
  echo "ok   the signed program updated the simulated unit"
else
  cat "$work/e2e.log"; fail "the signed program did not update the simulated unit"
fi

echo "signed release: $([ $failed = 0 ] && echo verified, reproducible and working || echo FAILED)"
exit $failed
