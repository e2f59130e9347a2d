#!/usr/bin/env bash
# The main job: from a clean clone on a fresh Debian machine, with or without
# a display. Installs what is needed, builds the Windows program and the
# simulated unit (win64) and the host's image tool, writes sample images (a
# full-size "1A70" main image and its four OSD parts), runs the program under
# Wine (on $DISPLAY when set, else on an Xvfb of its own), performs a full
# update through the menu the way a user would, dismisses the boxes, and
# reports: the texts shown, the exit code, whether the simulated flash holds
# every image byte for byte, the time taken and where the screenshots are.
# Exits 0 when the update did everything it should.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
echo "== build the Windows program and the simulated unit (win64)"
cmake --preset win64 >/dev/null
cmake --build --preset win64
echo "== build the host tools (make_images, e2e helpers)"
cmake --preset host >/dev/null
cmake --build --preset host --target make_images e2e_tools

echo "== run the update"
exec python3 e2e/driver.py demo --work build/run-update --win-dir build/win64 \
  --make-images build/host/tools/make_images --inspect build/host/e2e/list_windows.exe
