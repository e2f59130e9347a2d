#!/usr/bin/env bash
# Makes the user guide's pictures (docs/images/*.png) again, from the real
# program: the x86_64 build under Wine against the simulated unit, on an
# Xvfb of its own, driven like a user (e2e/driver.py shots). Run it whenever
# the program's window or texts change, look at the pictures, commit them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "== build the Windows program and the simulated unit (win64)"
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target SorvikFpgaUpdate sim_dll
echo "== build the host tools (make_images, e2e helpers, the tests' expectations)"
cmake --preset host >/dev/null
cmake --build --preset host --target make_images e2e_tools
echo "== the pictures"
exec python3 e2e/driver.py shots --work build/screenshots --win-dir build/win64 \
  --make-images build/host/tools/make_images --inspect build/host/e2e/list_windows.exe \
  --expected build/host/tests/export_expected --out docs/images
