#!/usr/bin/env bash
# Makes the user guide's pictures (docs/images/*.png) again, from the real
# program: the x86_64 build under Wine against the simulated unit, on an
# Xvfb of its own, driven like a user (e2e/driver.py shots). Run it whenever
# the program's window or texts change, look at the pictures, commit them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "== build the Windows program, the simulated unit and the e2e window lister (win64)"
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target SorvikFpgaUpdate sim_dll trace_dll list_windows
echo "== build the host tools (make_images, the tests' expectations)"
cmake --preset host >/dev/null
cmake --build --preset host --target make_images export_expected
tools=(--build-root build)
echo "== the pictures"
python3 e2e/driver.py shots --work build/screenshots "${tools[@]}" --out docs/images

# The trace report of a failed update: write enable refused at sector 18,
# recorded through the trace library, read by the trace reader, drawn by
# headless Chromium.
echo "== the trace report"
python3 e2e/driver.py prefix --work build/screenshots --reuse
python3 e2e/driver.py case fatal_write_enable --traced --work build/screenshots "${tools[@]}"
trace=$(ls build/screenshots/x86_64/traced.fatal_write_enable/SiUSBXp-trace-*.jsonl)
page=build/screenshots/trace-report.html
status=0
python3 tools/trace/read_trace.py "$trace" --html "$page" || status=$?
[ "$status" -eq 1 ] || { echo "make-screenshots: the reader gave $status for a failed update" >&2; exit 1; }
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$profile" --window-size=1000,760 \
  --screenshot="$PWD/docs/images/trace-report.png" "file://$PWD/$page"
