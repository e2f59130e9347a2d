#!/usr/bin/env bash
# Builds every preset and runs every kind of test, each through its own test
# preset: the checks of both Windows builds, the host unit tests, the
# sanitizer builds, short fuzz runs, the release check and the end-to-end
# tests of the real Windows programs under Wine. Exits non-zero when any test
# fails, times out or crashes, and names those tests in its last lines; then
# says in words what did not run on this machine.
#
#   scripts/test.sh [--no-setup]
# --no-setup: do not run scripts/setup.sh (packages managed by hand).
set -euo pipefail
cd "$(dirname "$0")/.."

setup=1
for arg in "$@"; do
  case "$arg" in
    --no-setup) setup=0 ;;
    -h|--help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "test.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done
[ "$setup" -eq 0 ] || bash scripts/setup.sh

logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
status=0
failed=()
step() { echo; echo "== $*"; }

for preset in win32 win64 host host-asan host-tsan fuzz; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# One test preset: its output goes to the screen and, through ctest's own
# log option (no pipe that could hide its status), to a log that is read
# afterwards for the tests that failed or did not run.
run_tests() {
  local preset=$1 log="$logs/$1.txt" rc=0
  step "ctest --preset $preset"
  ctest --preset "$preset" --no-tests=error --output-log "$log" || rc=$?
  if [ "$rc" -ne 0 ]; then
    status=1
    local named=""
    [ ! -f "$log" ] || named=$(sed -n '/The following tests FAILED:/,$ s/^[[:space:]]*[0-9]* - \(.*\)$/\1/p' "$log")
    if [ -n "$named" ]; then
      while IFS= read -r line; do failed+=("$preset: $line"); done <<<"$named"
    else
      failed+=("$preset: ctest ended with status $rc and named no test (see above)")
    fi
  fi
  # The reason the end-to-end driver gave for a skip is in this run's own record.
  local record=build/${2:-host}/Testing/Temporary/LastTest.log
  [ ! -f "$record" ] || cp "$record" "$logs/$preset-LastTest.log"
}

# What the Windows builds must be, read from their files: this runs on every
# machine, including those that cannot run 32-bit programs.
run_tests win32 win32
run_tests win64 win64
run_tests unit
run_tests host-asan host-asan
run_tests host-tsan host-tsan
run_tests fuzz fuzz
run_tests release
run_tests e2e

step "failed"
if [ ${#failed[@]} -eq 0 ]; then
  echo "No test failed."
else
  printf '  %s\n' "${failed[@]}"
fi

# A skip count alone reads too easily as a pass: say what did not run, and why.
step "what did not run"
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (\(Skipped\|Not Run\|Disabled\)).*/\1/p' "$logs"/*.txt | sort -u)
i686_skipped=$(printf '%s\n' "$skipped" | awk '/^e2e\.i686\./ { n++ } END { print n + 0 }')
if [ -z "$skipped" ]; then
  echo "Every test ran, the i686 end-to-end cases included."
else
  if [ "$i686_skipped" -gt 0 ]; then
    why=""
    [ ! -f "$logs/e2e-LastTest.log" ] || why=$(sed -n 's/^.*SKIPPED: //p' "$logs/e2e-LastTest.log" | sort -u | sed -n 1,3p)
    echo "NOT RUN: $i686_skipped end-to-end cases of the i686 program (e2e.i686.*), the build most users run."
    echo "  Why: ${why:-no reason was printed}"
    echo "  The i686 program was only checked without running it (win32 build: build.imports, build.compile_flags, build.no_x87);"
    echo "  run this command on a machine that can run 32-bit programs to run those cases."
  fi
  others=$(printf '%s\n' "$skipped" | awk 'NF && !/^e2e\.i686\./')
  [ -z "$others" ] || { echo "NOT RUN, other tests:"; printf '  %s\n' $others; }
fi
if [ "$status" -eq 0 ]; then
  echo "test.sh: every test that ran passed"
else
  echo "test.sh: FAILED: ${#failed[@]} (listed under \"failed\" above)"
fi
exit "$status"
