#!/usr/bin/env bash
# Builds the release packages twice, from two copies of the sources in two
# folders of different names, one after the other, and fails unless both
# give the same programs, zips and SHA256SUMS byte for byte. Also fails when
# a program keeps a link time in its header or names the folder it was built
# in or from, or when a zip holds anything but the program and the guide.
#   release/check_reproducible.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/sorvik-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

copy_sources() {  # the files of the work tree that git knows or would add
  mkdir -p "$2"
  if git -C "$1" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$1" && git ls-files -z --cached --others --exclude-standard) |
      (cd "$1" && while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done) |
      (cd "$1" && xargs -0 cp --parents -t "$2")
  else
    (cd "$1" && find . -path ./build -prune -o -path ./dist -prune -o -type f -print0 |
      xargs -0 cp --parents -t "$2")
  fi
}

# The unsigned packages: a certificate in the caller's settings is not used here.
unset SORVIK_SIGN_PKCS12 SORVIK_SIGN_PASSWORD_FILE SORVIK_SIGN_TIMESTAMP_URL

# Same date for both: the copies have no history to take it from.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 315532800)}
runs=(first second-with-a-longer-name)
for run in "${runs[@]}"; do
  echo "== $run build, in $work/$run"
  copy_sources "$source_dir" "$work/$run/src"
  bash "$work/$run/src/scripts/package.sh" --no-setup --build-root "$work/$run/build" \
       --dist "$work/$run/dist" >"$work/$run.log" 2>&1 || { cat "$work/$run.log"; exit 1; }
done

# The system Python: Debian's python3-pefile is installed for it.
/usr/bin/python3 "$here/compare_builds.py" "$work" "${runs[@]}"
