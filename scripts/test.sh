#!/usr/bin/env bash
# Builds every preset and runs every test: the checks of both Windows builds,
# host unit tests, the end-to-end tests of the real Windows program under
# Wine, the sanitizer builds and short fuzz runs. Exits non-zero when anything
# fails; its last lines say in words what did not run on this machine.
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

# A filter that selects nothing fails (--no-tests=error); every test has a
# time-out (its own, or the presets' default).
run_ctest() {
  step "ctest $*"
  ctest --no-tests=error "$@" || status=1
}
# What the Windows builds must be, read from their files: this runs on every
# machine, including those that cannot run 32-bit programs.
run_ctest --preset win32
run_ctest --preset win64
run_ctest --preset host-asan -LE 'e2e|fuzz|release'
run_ctest --preset host-tsan -LE 'e2e|fuzz|release'
run_ctest --preset fuzz -L fuzz
# Last: host unit tests, the end-to-end tests and the release checks.
log=build/host/ctest-output.txt
step "ctest --preset host"
ctest --no-tests=error --preset host 2>&1 | tee "$log" || true
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1

# A skip count alone reads too easily as a pass: say what did not run, and why.
step "what did not run"
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (\(Skipped\|Not Run\|Disabled\)).*/\1/p' "$log")
i686_skipped=$(printf '%s\n' "$skipped" | grep -c '^e2e\.i686\.' || true)
if [ -z "$skipped" ]; then
  echo "Every test ran, the i686 end-to-end cases included."
else
  if [ "$i686_skipped" -gt 0 ]; then
    why=$(sed -n 's/^.*SKIPPED: //p' build/host/Testing/Temporary/LastTest.log | sort -u | head -n 3)
    echo "NOT RUN: $i686_skipped end-to-end cases of the i686 program (e2e.i686.*), the build most users run."
    echo "  Why: ${why:-no reason was printed}"
    echo "  The i686 program was only checked without running it (win32 build: build.imports, build.compile_flags, build.no_x87);"
    echo "  run this command on a machine that can run 32-bit programs to run those cases."
  fi
  others=$(printf '%s\n' "$skipped" | grep -v '^e2e\.i686\.' || true)
  [ -z "$others" ] || { echo "NOT RUN, other tests:"; printf '  %s\n' $others; }
fi
[ "$status" -eq 0 ] && echo "test.sh: every test that ran passed" || echo "test.sh: FAILED (see above)"
exit $status
