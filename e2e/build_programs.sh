#!/usr/bin/env bash
# Brings the Windows programs the end-to-end cases run up to date with their
# sources, so that no case ever runs an older program than the one checked
# out. Run by the e2e.programs fixture before the first case.
#   build_programs.sh SOURCE_DIR WIN64_BUILD_DIR WIN32_BUILD_DIR
set -euo pipefail
source_dir=$1
cd "$source_dir"
for pair in "win64 $2" "win32 $3"; do
  set -- $pair
  preset=$1 dir=$2
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake --build "$dir"
  elif [ "$(realpath -m "$dir")" = "$(realpath -m "$source_dir/build/$preset")" ]; then
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
  else
    echo "e2e: $dir is not a configured build folder; run: cmake -B $dir --preset $preset" >&2
    exit 1
  fi
done
