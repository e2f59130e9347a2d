#!/usr/bin/env bash
# Builds every preset and runs every test: host unit tests, the end-to-end
# tests of the real Windows program under Wine, the sanitizer builds and short
# fuzz runs. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

status=0
step() { echo; echo "== $*"; }

for preset in win32 win64 host host-asan host-tsan fuzz; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

run_ctest() {
  step "ctest $*"
  ctest "$@" || status=1
}
run_ctest --preset host-asan -LE 'e2e|fuzz'
run_ctest --preset host-tsan -LE 'e2e|fuzz'
run_ctest --preset fuzz -L fuzz
# Last, so its summary closes the run: host unit tests and the end-to-end tests.
run_ctest --preset host

exit $status
