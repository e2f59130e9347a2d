#!/usr/bin/env bash
# The main job: from a clean clone on a fresh Debian machine, with or without
# a display. Installs what is needed, builds the Windows program and the
# simulated unit (win64) and the host's image tool, runs the program under
# Wine (on $DISPLAY when set, else on an Xvfb of its own) against the
# simulated unit, performs a full update through the menu the way a user
# would, dismisses the boxes, and reports: the texts and boxes shown, the exit
# code, what the flash held at each write mode against each file, the time
# taken, and how long the same update takes on a unit at a given round trip.
# The simulated flash starts with old content, not erased, so a sector that
# the update failed to erase shows in the report.
#
#   scripts/run-update.sh [--images DIR] [--round-trip-ms N | --unit-trace FILE] [--trace]
# Without --images: the sample set (a full-size "1A70" main image and its
# four OSD parts, written by tools/make_images). With --images: a rehearsal
# of the image files in DIR, found by their fixed names, before they go to a
# unit. --round-trip-ms: the round trip per frame that the time on a unit is
# worked out for (default 1); --unit-trace FILE: the round trip and erase
# time of the unit a trace was recorded on instead. --trace: the trace
# library between the program and the simulated unit (the simulated library
# renamed as the maker's would be); then the trace reader's account of the
# trace, and its HTML report's path.
# Exits 0 when the update did everything it should, 1 when it did not, 2 when
# there was nothing to run (bad arguments, no such folder).
set -euo pipefail

usage() { echo "usage: scripts/run-update.sh [--images DIR] [--round-trip-ms N | --unit-trace FILE] [--trace]" >&2; exit 2; }
extra=()
images=""
while [ $# -gt 0 ]; do
  case "$1" in
    --images)
      [ $# -ge 2 ] || usage
      # Before the cd below: DIR is meant from where the command was given.
      images=$(realpath -m -- "$2")
      extra+=(--images "$images"); shift 2 ;;
    --round-trip-ms)
      [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || { echo "--round-trip-ms wants a whole number of milliseconds" >&2; usage; }
      extra+=(--round-trip-ms "$2"); shift 2 ;;
    --unit-trace)
      [ $# -ge 2 ] || usage
      [ -f "$2" ] || { echo "--unit-trace: no such file $2" >&2; exit 2; }
      extra+=(--unit-trace "$(realpath -- "$2")"); shift 2 ;;
    --trace) extra+=(--trace); shift ;;
    -h|--help) sed -n '2,24s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "run-update.sh: unknown argument $1" >&2; usage ;;
  esac
done
if [ -n "$images" ] && [ ! -e "$images" ]; then
  echo "Nothing to rehearse: the folder $images does not exist." >&2
  exit 2
fi

cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "== build the Windows program, the simulated unit, the trace library and the e2e window lister (win64)"
cmake --preset win64 >/dev/null
cmake --build --preset win64
echo "== build the host tools (make_images, the tests' expectations)"
cmake --preset host >/dev/null
cmake --build --preset host --target make_images export_expected

echo "== run the update"
exec python3 e2e/driver.py demo --work build/run-update --build-root build "${extra[@]}"
