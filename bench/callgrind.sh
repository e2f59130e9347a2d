#!/bin/sh
# Instructions of our own code per page-program frame, counted by callgrind
# on a small fixed workload (bench/callgrind_workload.cpp: a 64 KiB "1A70"
# image written with the bridge open). Collected: everything inside
# WriteImageFile; taken off: the wrapped calls into the simulated unit and the
# host layer (bench/probes.cpp), wrappers included. The rest is our code.
# Usage: bench/callgrind.sh [BUILD_DIR]      (default: build/host)
set -eu
build=${1:-build/host}
workload="$build/bench/bench_callgrind_workload"
[ -x "$workload" ] || { echo "no $workload: build the host preset first" >&2; exit 1; }
out=$(mktemp -d /tmp/sorvik-callgrind-XXXXXX)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --toggle-collect='WriteImageFile*' --callgrind-out-file="$out/callgrind.out" \
  "$workload" > "$out/stdout" 2> "$out/stderr" || { cat "$out/stderr" >&2; exit 1; }
callgrind_annotate --inclusive=yes --threshold=100 --auto=no "$out/callgrind.out" > "$out/annotated"
program=$(sed -n 's/^page-program frames: //p' "$out/stdout")
frames=$(sed -n 's/^all frames: //p' "$out/stdout")
# Lines of the form "  1,234 (12.3%)  file:function [binary]"; calls ("=>") are
# skipped, and a function listed under more than one spelling of its file is
# taken once.
awk -v program="$program" -v frames="$frames" '
  function count(s) { gsub(",", "", s); return s + 0 }
  $0 ~ /=>/ { next }
  /PROGRAM TOTALS/ { total = count($1) }
  match($0, /:__wrap_[A-Za-z0-9_]+/) {
    name = substr($0, RSTART + 1, RLENGTH - 1)
    if (count($1) > cost[name]) cost[name] = count($1)
  }
  END {
    for (name in cost) outside += cost[name]
    if (total == 0 || program == 0) { print "callgrind.sh: nothing collected" > "/dev/stderr"; exit 1 }
    ours = total - outside
    printf "collected in WriteImageFile:           %d\n", total
    printf "of which in the unit and host layer:   %d\n", outside
    printf "our code:                              %d\n", ours
    printf "frames sent: %d, of them page-program: %d\n", frames, program
    printf "instructions per page-program frame:   %.0f\n", ours / program
    printf "instructions per frame of any kind:    %.0f\n", ours / frames
  }' "$out/annotated"
