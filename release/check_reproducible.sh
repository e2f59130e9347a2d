#!/usr/bin/env bash
# Builds the release packages twice, from two copies of the sources in two
# folders of different names, one after the other, and fails unless both
# give the same programs, zips and SHA256SUMS byte for byte. Also fails when
# a program keeps a link time in its header or names the folder it was built
# in or from, or when a zip holds anything but the program and the guide.
#   release/check_reproducible.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
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

# Same date for both: the copies have no history to take it from.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 315532800)}
runs=(first second-with-a-longer-name)
for run in "${runs[@]}"; do
  echo "== $run build, in $work/$run"
  copy_sources "$source_dir" "$work/$run/src"
  bash "$work/$run/src/scripts/package.sh" --no-setup --build-root "$work/$run/build" \
       --dist "$work/$run/dist" >"$work/$run.log" 2>&1 || { cat "$work/$run.log"; exit 1; }
done

python3 - "$work" "${runs[@]}" <<'PY'
import filecmp, os, struct, sys, zipfile
work, runs = sys.argv[1], sys.argv[2:]
failed = []
def fail(what):
    failed.append(what)
    print("FAIL", what)

for arch in ("win32", "win64"):
    exes = [os.path.join(work, r, "build", "release-" + arch, "app", "SorvikFpgaUpdate.exe") for r in runs]
    for run, exe in zip(runs, exes):
        data = open(exe, "rb").read()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        stamp, symbols = struct.unpack_from("<II", data, pe + 8)
        if stamp:
            fail("%s %s: link time 0x%08X in the header" % (run, arch, stamp))
        if symbols:
            fail("%s %s: a symbol table is left in the program" % (run, arch))
        for folder in (os.path.join(work, run, "src"), os.path.join(work, run, "build"), work):
            for form in (folder.encode(), folder.encode("utf-16-le")):
                if form in data:
                    fail("%s %s: the program names the folder %s" % (run, arch, folder))
    if filecmp.cmp(exes[0], exes[1], shallow=False):
        print("ok   %s program: the same %d bytes from both builds" % (arch, os.path.getsize(exes[0])))
    else:
        fail("%s program differs between the two builds" % arch)

names = sorted(os.listdir(os.path.join(work, runs[0], "dist")))
if names != sorted(os.listdir(os.path.join(work, runs[1], "dist"))):
    fail("the two builds wrote different files: %s" % names)
for name in names:
    a, b = (os.path.join(work, r, "dist", name) for r in runs)
    if filecmp.cmp(a, b, shallow=False):
        print("ok   %s: the same from both builds" % name)
    else:
        fail("%s differs between the two builds" % name)
    if name.endswith(".zip"):
        folder = name[:-4]
        inside = zipfile.ZipFile(a).namelist()
        want = [folder + "/", folder + "/SorvikFpgaUpdate.exe", folder + "/UserGuide.html"]
        if inside != want:
            fail("%s holds %s, not only the program and the guide" % (name, inside))
print(open(os.path.join(work, runs[0], "dist", "SHA256SUMS")).read(), end="")
print("reproducible: %s" % ("no" if failed else "yes"))
sys.exit(1 if failed else 0)
PY
